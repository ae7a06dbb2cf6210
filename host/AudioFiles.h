// Audio file input and output through libsndfile, for the render tool.
// Reading streams interleaved float frames; writing goes to a temporary
// file in the target folder that is renamed into place only on commit, so a
// failed or interrupted render never leaves a truncated file behind and
// never destroys an existing one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/RenderEngine.h"

typedef struct sf_private_tag SNDFILE;

namespace render {

// An audio file opened for reading; one or two channels.
class AudioReader : public Source {
public:
    // Null with a message in `error` when the file is missing, not a
    // regular file, unreadable, not audio or has more than two channels.
    static std::unique_ptr<AudioReader> open(const std::string& path, std::string& error);
    ~AudioReader() override;
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int channels() const override { return numChannels; }
    int rate() const override { return sampleRate; }
    std::int64_t length() const override { return numFrames; }
    long read(float* interleaved, long frames, std::string& error) override;
    // libsndfile's format word: container | sample format.
    int format() const { return fileFormat; }
    // Set when the header disagrees with the file's size, as in a file cut
    // short: the frames present are read.
    const std::string& warning() const { return headerWarning; }

private:
    AudioReader() = default;
    SNDFILE* file = nullptr;
    std::string filePath;
    int numChannels = 0;
    int sampleRate = 0;
    std::int64_t numFrames = 0;
    int fileFormat = 0;
    std::string headerWarning;
};

// The output format for `path`: the container follows the extension (the
// input's container, or WAV without input, when there is none); the sample
// format is the input's when the container holds it, 32-bit float with
// `asFloat`, otherwise the closest the container offers. False with a
// message for an unknown extension or a container that cannot hold float
// when float was asked for. `note` says when the sample format had to change.
bool chooseOutputFormat(const std::string& path, int inputFormat, bool asFloat, int channels,
                        int rate, int& format, std::string& note, std::string& error);

// Short description of a format word, e.g. "WAV 16-bit".
std::string describeFormat(int format);

// True for sample formats stored as integers, which clip at full scale.
bool isIntegerFormat(int format);

// A new file that appears at its final path only when committed: written
// as a temporary file in the target folder, then linked or renamed into
// place. Destroying an uncommitted one removes the temporary file.
class PendingFile {
public:
    // Fails when the folder is missing, the path is a folder, or the file
    // exists and `replace` is false.
    static std::unique_ptr<PendingFile> create(const std::string& path, bool replace,
                                               std::string& error);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int descriptor() const { return fd; }
    const std::string& path() const { return finalPath; }
    // Flushes to disk and moves the file into place.
    bool commit(std::string& error);

private:
    PendingFile() = default;
    void discard();
    int fd = -1;
    std::string finalPath;
    std::string tempPath;
    bool replaceExisting = false;
};

// An audio file written through a PendingFile.
class AudioWriter : public Sink {
public:
    // `replace` allows an existing file at `path` to be replaced on commit.
    static std::unique_ptr<AudioWriter> create(const std::string& path, int format, int channels,
                                               int rate, bool replace, std::string& error);
    ~AudioWriter() override;
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    bool write(const float* interleaved, long frames, std::string& error) override;
    bool commit(std::string& error);

private:
    AudioWriter() = default;
    std::unique_ptr<PendingFile> pending;
    SNDFILE* file = nullptr;
};

}  // namespace render
