#pragma once

#include <mutex>
#include <string>

#include <httplib.h>

#include "app/tune/background.h"
#include "app/tune/tune_session.h"

namespace veskar::tune {

/// The page's workspace requests, behind the server's guard like every
/// other: undo and redo (POST /api/undo, /api/redo with `{}`), snapshots
/// (POST /api/snapshot `{"name"}`, /api/snapshot/restore and
/// /api/snapshot/delete `{"index"}`), each answered with the state; and the
/// backgrounds the result can be laid over (GET /api/backgrounds). Calls into
/// the session hold `mutex`.
void RouteWorkspace(httplib::Server& http, TuneSession& session, std::mutex& mutex, Backgrounds& backgrounds);

/// The PNG a view request asks for, with `mutex` held: the frame with the
/// current values or, with `snapshot=I`, those of snapshot I; the result laid
/// over the background named by `over=NAME` when given.
std::string WorkspaceView(TuneSession& session, Backgrounds& backgrounds, const httplib::Request& request, int frame,
                          View view, bool proxy);

}  // namespace veskar::tune
