#include "app/run_paths.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <unordered_map>
#include <utility>

#include <dirent.h>
#include <sys/stat.h>

#include "app/cli_error.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

// What a path names: an existing file by device and inode, or a name not yet
// taken in a folder (by the folder's device and inode).
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name;  // empty for an existing file
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode && name == other.name;
    }
    std::uint64_t Hash() const noexcept {
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the fields
        auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ull; };
        for (int shift = 0; shift < 64; shift += 8) mix(static_cast<unsigned char>(device >> shift));
        for (int shift = 0; shift < 64; shift += 8) mix(static_cast<unsigned char>(inode >> shift));
        for (char c : name) mix(static_cast<unsigned char>(c));
        return hash;
    }
};

// A folder listed once: its entries' identities by name.
struct Listing {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::unordered_map<std::string, Identity> entries;
};

class Folders {
public:
    Identity Of(const std::string& path) {
        const std::size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        return In(List(folder), path, slash == std::string::npos ? 0 : slash + 1);
    }

    // `path`, whose name starts at `nameStart`, in the folder `listing`.
    static Identity In(const Listing& listing, const std::string& path, std::size_t nameStart) {
        if (!listing.exists) {
            // A missing folder: the run fails there, but two spellings of one
            // name must still meet.
            return {0, 0, fs::absolute(path).lexically_normal().string()};
        }
        std::string name = path.substr(nameStart);
        auto entry = listing.entries.find(name);
        if (entry != listing.entries.end()) {
            return entry->second;
        }
        return {listing.device, listing.inode, std::move(name)};
    }

    const Listing& List(const std::string& folder) {
        auto known = byPath_.find(folder);
        if (known != byPath_.end()) return *known->second;
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return *(byPath_[folder] = &missing_);
        }
        const std::pair<std::uint64_t, std::uint64_t> key{info.st_dev, info.st_ino};
        auto [it, fresh] = byIdentity_.try_emplace(key);
        Listing& listing = it->second;
        if (fresh) {
            listing.exists = true;
            listing.device = info.st_dev;
            listing.inode = info.st_ino;
            if (DIR* dir = ::opendir(folder.c_str())) {
                while (const dirent* entry = ::readdir(dir)) {
                    Identity id{info.st_dev, entry->d_ino, ""};
                    // A link is the file it points at; other entries are
                    // themselves, with no call per file.
                    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                        struct stat target {};
                        const std::string path = folder + "/" + entry->d_name;
                        if (::stat(path.c_str(), &target) != 0) continue;  // dangling: a free name
                        id = {target.st_dev, target.st_ino, ""};
                    }
                    listing.entries.emplace(entry->d_name, id);
                }
                ::closedir(dir);
            }
        }
        byPath_[folder] = &listing;
        return listing;
    }

private:
    std::unordered_map<std::string, Listing*> byPath_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Listing> byIdentity_;
    Listing missing_;
};

std::string Describe(const std::string& role, bool sequence, int frame) {
    return "the " + role + (sequence ? " of frame " + std::to_string(frame) : "");
}

}  // namespace

void RunPaths::AddInputs(const FramePattern& pattern, const FrameList& frames, const std::string& role) {
    inputs_.push_back({pattern, pattern.Text(), frames, role});
}

void RunPaths::AddOutputs(const FramePattern& pattern, const FrameList& frames, const std::string& role) {
    outputs_.push_back({pattern, pattern.Text(), frames, role});
}

void RunPaths::AddInput(const std::string& path, const std::string& role) {
    inputs_.push_back({std::nullopt, path, FrameList(0), role});
}

void RunPaths::AddOutput(const std::string& path, const std::string& role) {
    outputs_.push_back({std::nullopt, path, FrameList(0), role});
}

// Every file of the run by the hash of what it names, sorted so that the
// files that may be one stand together; a shared hash is confirmed by naming
// both again. Inputs are listed before outputs, so each pair is reported as
// the later file overwriting the earlier.
class RunPaths::Clashes {
public:
    Clashes(const std::vector<Files>& inputs, const std::vector<Files>& outputs) : firstOutput_(inputs.size()) {
        for (const Files& files : inputs) all_.push_back(&files);
        for (const Files& files : outputs) all_.push_back(&files);
        for (std::uint32_t index = 0; index < all_.size(); ++index) {
            Visit(*all_[index], [&](const Identity& id, int frame) { entries_.push_back({id.Hash(), index, frame}); });
        }
        std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.files != b.files ? a.files < b.files : a.frame < b.frame;
        });
    }

    // Throws CliError naming the clash of the first output file and frame,
    // so that the message does not depend on the order of hashes.
    void ReportFirst() {
        std::optional<std::pair<std::size_t, std::size_t>> report;  // later, earlier
        for (std::size_t start = 0; start < entries_.size();) {
            std::size_t end = start + 1;
            while (end < entries_.size() && entries_[end].hash == entries_[start].hash) ++end;
            for (std::size_t later = start + 1; later < end; ++later) {
                if (entries_[later].files < firstOutput_) continue;  // inputs may share a file
                const std::optional<std::size_t> earlier = EarlierOf(start, later);
                if (earlier && (!report || Before(later, report->first))) report.emplace(later, *earlier);
            }
            start = end;
        }
        if (report) {
            const Entry& later = entries_[report->first];
            const Entry& earlier = entries_[report->second];
            const Files& written = *all_[later.files];
            const Files& other = *all_[earlier.files];
            throw CliError(PathOf(written, later.frame) + ": " +
                           Describe(written.role, written.Sequence(), later.frame) + " would overwrite " +
                           Describe(other.role, other.Sequence(), earlier.frame));
        }
    }

private:
    struct Entry {
        std::uint64_t hash;
        std::uint32_t files;  // index in all_: inputs then outputs
        int frame;
    };

    static std::string PathOf(const Files& files, int frame) {
        return files.Sequence() ? files.pattern->Path(frame) : files.path;
    }

    // Calls use(identity, frame) for each file of `files`. The frames of a
    // sequence whose number is in the file name share one folder, looked up
    // once.
    template <typename Use>
    void Visit(const Files& files, Use&& use) {
        if (!files.Sequence()) {
            use(folders_.Of(files.path), files.frames.First());
            return;
        }
        const std::string first = files.pattern->Path(0);
        const std::string other = files.pattern->Path(987654321);
        const std::size_t slash = first.find_last_of('/');
        const bool oneFolder = slash == other.find_last_of('/') && first.compare(0, slash, other, 0, slash) == 0;
        if (!oneFolder) {
            for (int frame : files.frames) use(folders_.Of(files.pattern->Path(frame)), frame);
            return;
        }
        const Listing& listing =
            folders_.List(slash == std::string::npos ? "." : slash == 0 ? "/" : first.substr(0, slash));
        const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
        for (int frame : files.frames) {
            use(Folders::In(listing, files.pattern->Path(frame), nameStart), frame);
        }
    }

    // The first entry from `start` on, before `later`, that names the file
    // `later` names, if any.
    std::optional<std::size_t> EarlierOf(std::size_t start, std::size_t later) {
        const Files& written = *all_[entries_[later].files];
        const std::string path = PathOf(written, entries_[later].frame);
        for (std::size_t earlier = start; earlier < later; ++earlier) {
            const Files& other = *all_[entries_[earlier].files];
            if (folders_.Of(PathOf(other, entries_[earlier].frame)) == folders_.Of(path)) {
                return earlier;
            }
        }
        return std::nullopt;
    }

    bool Before(std::size_t a, std::size_t b) const {
        return entries_[a].files != entries_[b].files ? entries_[a].files < entries_[b].files
                                                      : entries_[a].frame < entries_[b].frame;
    }

    Folders folders_;
    std::vector<const Files*> all_;
    std::vector<Entry> entries_;
    std::size_t firstOutput_;
};

void RunPaths::Check() const {
    Clashes(inputs_, outputs_).ReportFirst();
}

}  // namespace veskar
