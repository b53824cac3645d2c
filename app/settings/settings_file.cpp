#include "app/settings/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/interrupt.h"
#include "app/settings/composition.h"
#include "app/settings/finishing_section.h"
#include "app/settings/sandbox.h"
#include "app/settings/settings_document.h"
#include "app/settings/settings_messages.h"
#include "host/operator.h"
#include "host/tags.h"

namespace veskar {
namespace {

// A settings file is a few kilobytes; a larger one is refused before it is read
// whole.
constexpr std::size_t kFileSizeLimit = std::size_t{16} << 20;
// What the messages show at most: one warning per unknown input.
constexpr std::size_t kMaxWarnings = 100;
constexpr std::size_t kMaxErrors = 10;

// Waits until `fd` can be read (or is at its end), looking for a stop request
// ten times a second. A FIFO reports nothing until a writer has come.
void WaitReadable(int fd, const std::string& path) {
    for (;;) {
        if (const int signal = StopRequested()) {
            StopReached();
            throw CliError("interrupted by " + SignalName(signal) + " while reading the settings file " + path +
                               "; nothing was written",
                           InterruptedExitCode(signal));
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 100);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;  // an error shows in the read
    }
}

std::string ReadSettingsText(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        throw CliError(path + ": cannot read the settings file: no such file");
    }
    if (ec) {
        throw CliError(path + ": cannot read the settings file: " + ec.message());
    }
    if (fs::is_directory(status)) {
        throw CliError(path + ": is a folder, not a settings file");
    }
    // Opened without waiting, and read when there is something to read: a
    // FIFO has no writer yet, and the run must still stop when asked to.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw CliError(path + ": cannot read the settings file: " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Read in pieces with a bound, so that a device or a pipe that never ends
    // cannot fill the memory.
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        WaitReadable(fd, path);
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw CliError(path + ": cannot read the settings file: " + std::strerror(errno));
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kFileSizeLimit) {
            throw CliError(path + ": the settings file is larger than " +
                           std::to_string(kFileSizeLimit >> 20) + " MiB");
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// Checking the chosen tool's values.

class Findings {
public:
    void Warn(std::string message) {
        if (warnings_.size() < kMaxWarnings) {
            warnings_.push_back(Shown(message, 1000));
        } else {
            ++moreWarnings_;
        }
    }
    void Fail(std::string message) {
        if (errors_.size() < kMaxErrors) {
            errors_.push_back(Shown(message, 1000));
        } else {
            ++moreErrors_;
        }
    }
    bool Failed() const noexcept { return !errors_.empty(); }
    bool WarningsFull() const noexcept { return warnings_.size() >= kMaxWarnings; }

    std::string ErrorText() const {
        std::string text;
        for (std::size_t i = 0; i < errors_.size(); ++i) {
            text += (i ? "\n" : "") + errors_[i];
        }
        if (moreErrors_ > 0) {
            text += "\n(and " + std::to_string(moreErrors_) + " more errors)";
        }
        return text;
    }
    std::vector<std::string> Warnings() const {
        std::vector<std::string> warnings = warnings_;
        if (moreWarnings_ > 0) {
            warnings.push_back("(and " + std::to_string(moreWarnings_) + " more warnings)");
        }
        return warnings;
    }

private:
    std::vector<std::string> warnings_;
    std::vector<std::string> errors_;
    std::size_t moreWarnings_ = 0;
    std::size_t moreErrors_ = 0;
};

bool IsCheckbox(const Input& input) {
    return input.Attrs().GetId(kInpControl, FuID()) == CLSID_InputControl_Checkbox;
}

// The number a file value stands for; false with a finding when it is none.
bool ValueOf(const Input& input, const FileValue& value, const std::string& where, Findings& findings,
             double& number) {
    switch (value.kind) {
        case FileValue::Kind::Number:
            if (value.hasExpression) {
                findings.Warn(where + "has an expression, which is not evaluated here; its saved Value is used");
            }
            number = value.number;
            return true;
        case FileValue::Kind::Boolean:
            if (IsCheckbox(input)) {
                number = value.boolean ? 1.0 : 0.0;
                return true;
            }
            findings.Fail(where + "Value must be a number, got " + (value.boolean ? "true" : "false"));
            return false;
        case FileValue::Kind::Text: {
            std::string error;
            if (value.tooLong) {
                findings.Fail(where + "'" + Shown(value.text) + "' is not a value of " + input.ID().Text());
                return false;
            }
            if (ParseControlValue(input, value.text, number, error)) {
                return true;
            }
            findings.Fail(where + error);
            return false;
        }
        case FileValue::Kind::Connection:
            findings.Warn(where + "connected to " + Shown(value.text) + ", not a value; ignored");
            return false;
        case FileValue::Kind::ExpressionOnly:
            findings.Warn(where + "an expression without a saved Value, which is not evaluated here; ignored");
            return false;
        case FileValue::Kind::Missing:
            findings.Warn(where + "holds no Value; ignored");
            return false;
        case FileValue::Kind::Other:
            findings.Fail(where + "Value must be a number, got " + value.text);
            return false;
    }
    return false;
}

}  // namespace

SettingsLoad LoadSettingsFile(host::ToolInstance& tool, const std::string& path,
                              const std::string& toolName) {
    const Registry* registry = tool.Tool().GetRegistry();
    const std::string className = registry != nullptr && registry->Name() != nullptr ? registry->Name() : "Veskar";
    std::vector<std::string> classNames = {className};
    if (registry != nullptr) {
        classNames.emplace_back(registry->ID().Text());
    }

    const std::string text = ReadSettingsText(path);
    SettingsDocument document;
    {
        Sandbox sandbox(path);
        sandbox.Evaluate(text);
        document = ReadDocument(sandbox.State(), path, classNames);
    }
    const FileTool& chosen = ChooseTool(document, path, toolName, className);

    Findings findings;
    if (!chosen.inputsProblem.empty()) {
        findings.Fail(Where(path, chosen.line) + Shown(chosen.name) + ": " + chosen.inputsProblem);
    }
    if (chosen.unnamedInputs > 0) {
        findings.Warn(Where(path, chosen.line) + Shown(chosen.name) + ": " +
                      std::to_string(chosen.unnamedInputs) + " inputs without an id; ignored");
    }
    std::vector<std::pair<Input*, double>> values;
    for (const FileInput& entry : chosen.inputs) {
        const std::string where = Where(path, entry.line) + Shown(chosen.name) + "." + Shown(entry.id) + ": ";
        Input* input = entry.tooLong ? nullptr : tool.FindInput(entry.id);
        if (input == nullptr) {
            // A hint costs an edit distance per control; only shown warnings get one.
            const bool hint = !findings.WarningsFull() && entry.id.size() <= kMaxShownText;
            findings.Warn(where + (hint ? UnknownControlMessage(tool.Tool(), entry.id)
                                        : "unknown control '" + Shown(entry.id) + "'") +
                          "; ignored");
        } else if (input->IsImage()) {
            findings.Warn(where + "an image input, connected by the host, not set by settings; ignored");
        } else if (!HoldsNumber(*input)) {
            findings.Warn(where + "a label, which holds no value; ignored");
        } else {
            double number = 0.0;
            if (ValueOf(*input, entry.value, where, findings, number)) {
                values.emplace_back(input, number);
            }
        }
    }
    if (findings.Failed()) {
        throw CliError(findings.ErrorText());
    }
    finish::FinishChoices finishing = ReadFinishingSection(document.finishing, path);
    tool.LoadValues(values, 0.0);
    return SettingsLoad{chosen.name, findings.Warnings(), OtherToolNames(document, className), std::move(finishing)};
}

}  // namespace veskar
