#include "app/render_job/frame_sources.h"

#include "app/movie/movie_reader.h"

namespace veskar {

FrameSources::FrameSources(const RunFiles& files, const std::string& keyImage, const FileSetup& setup)
    : files_(files), keyImage_(keyImage), setup_(setup) {}

FrameSources::~FrameSources() = default;

FileImage FrameSources::Read(const std::string& path, const ReadOptions& read, int frame) const {
    try {
        return ReadImageFile(path, read);
    } catch (const CliError& e) {
        throw FrameError(frame, e);
    }
}

FileImage FrameSources::Plate(int frame) {
    if (!files_.movie) return Read(files_.input.Path(frame), setup_.Source(), frame);
    try {
        if (!movie_) movie_ = std::make_unique<MovieReader>(*files_.movie);
        return movie_->Frame(frame, setup_.Source());
    } catch (const CliError& e) {
        throw FrameError(frame, e);
    }
}

const FileImage& FrameSources::First() {
    if (!first_) first_ = Plate(files_.frames.First());
    return *first_;
}

const Image* FrameSources::FirstKey() {
    if (keyImage_.empty()) return nullptr;
    if (!firstKey_) firstKey_ = Key(files_.frames.First());
    return firstKey_->image.get();
}

FileImage FrameSources::Source(int frame) {
    if (frame == files_.frames.First() && first_) {
        // Released once used: only the frame being keyed is held.
        FileImage first = std::move(*first_);
        first_.reset();
        return first;
    }
    return Plate(frame);
}

std::optional<FileImage> FrameSources::Key(int frame) {
    if (keyImage_.empty()) return std::nullopt;
    if (frame == files_.frames.First() && firstKey_) {
        std::optional<FileImage> first = std::move(firstKey_);
        firstKey_.reset();
        return first;
    }
    if (files_.key.IsSequence()) return Read(files_.key.Path(frame), setup_.Key(), frame);
    if (!stillKey_) stillKey_ = Read(keyImage_, setup_.Key(), frame);
    return stillKey_;
}

CliError FrameSources::FrameError(int frame, const CliError& error) const {
    return files_.sequence ? CliError("frame " + std::to_string(frame) + ": " + error.what(), error.ExitCode())
                           : error;
}

}  // namespace veskar
