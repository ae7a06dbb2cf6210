#include "host/AudioFiles.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace render {

namespace {

struct Extension {
    const char* name;
    int container;
    int sampleFormat;  // forced sample format, or 0 to choose
};

constexpr Extension kExtensions[] = {
    {"wav", SF_FORMAT_WAV, 0},
    {"wave", SF_FORMAT_WAV, 0},
    {"aif", SF_FORMAT_AIFF, 0},
    {"aiff", SF_FORMAT_AIFF, 0},
    {"aifc", SF_FORMAT_AIFF, 0},
    {"au", SF_FORMAT_AU, 0},
    {"snd", SF_FORMAT_AU, 0},
    {"caf", SF_FORMAT_CAF, 0},
    {"flac", SF_FORMAT_FLAC, 0},
    {"ogg", SF_FORMAT_OGG, 0},
    {"oga", SF_FORMAT_OGG, 0},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
    {"w64", SF_FORMAT_W64, 0},
    {"rf64", SF_FORMAT_RF64, 0},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
};

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string knownExtensions() {
    std::string list;
    for (const Extension& e : kExtensions) list += std::string(list.empty() ? "." : ", .") + e.name;
    return list;
}

bool formatOk(int format, int channels, int rate) {
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = rate;
    return sf_format_check(&info) != 0;
}

std::string formatName(int command, int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, command, &info, sizeof info) != 0 || info.name == nullptr) return "?";
    return info.name;
}

std::string subtypeName(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return "8-bit";
        case SF_FORMAT_PCM_16: return "16-bit";
        case SF_FORMAT_PCM_24: return "24-bit";
        case SF_FORMAT_PCM_32: return "32-bit integer";
        case SF_FORMAT_FLOAT: return "32-bit float";
        case SF_FORMAT_DOUBLE: return "64-bit float";
        default: return formatName(SFC_GET_FORMAT_INFO, format & SF_FORMAT_SUBMASK);
    }
}

}  // namespace

std::unique_ptr<AudioReader> AudioReader::open(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        error = "input '" + path + "' does not exist";
        return nullptr;
    }
    if (fs::is_directory(status)) {
        error = "input '" + path + "' is a folder, not an audio file";
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read '" + path + "' as audio: " + sf_strerror(nullptr) +
                " (give a WAV, AIFF, FLAC, Ogg or other file libsndfile reads)";
        return nullptr;
    }
    std::unique_ptr<AudioReader> reader(new AudioReader());
    reader->file = file;
    reader->filePath = path;
    if (info.channels < 1 || info.samplerate < 1) {
        error = "'" + path + "' is corrupt: its header gives " + std::to_string(info.channels) +
                " channels at " + std::to_string(info.samplerate) + " Hz";
        return nullptr;
    }
    if (info.channels > 2) {
        error = "'" + path + "' has " + std::to_string(info.channels) +
                " channels; only mono and stereo files can be rendered (mix it down first)";
        return nullptr;
    }
    reader->numChannels = info.channels;
    reader->sampleRate = info.samplerate;
    reader->fileFormat = info.format;
    // MPEG lengths are estimates; every other reader gives the exact count.
    const bool exactLength = (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG;
    reader->numFrames = exactLength && info.frames >= 0 && info.frames < SF_COUNT_MAX
                            ? static_cast<std::int64_t>(info.frames)
                            : -1;
    char log[4096] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    if (std::strstr(log, "should be") != nullptr)
        reader->headerWarning = "'" + path +
                                "' is shorter than its header says (cut short?); rendering the " +
                                std::to_string(info.frames) + " frames it holds";
    return reader;
}

AudioReader::~AudioReader() {
    if (file != nullptr) sf_close(file);
}

long AudioReader::read(float* interleaved, long frames, std::string& error) {
    const sf_count_t got = sf_readf_float(file, interleaved, frames);
    if (sf_error(file) != SF_ERR_NO_ERROR || got < 0) {
        error = "reading '" + filePath + "' failed: " + sf_strerror(file) + " (corrupt file?)";
        return -1;
    }
    if (got == 0 && numFrames >= 0) {
        const sf_count_t at = sf_seek(file, 0, SEEK_CUR);
        if (at >= 0 && at < numFrames) {
            error = "'" + filePath + "' ends early: its header promises " +
                    std::to_string(numFrames) + " frames but only " + std::to_string(at) +
                    " could be read (truncated or corrupt file)";
            return -1;
        }
    }
    return static_cast<long>(got);
}

bool chooseOutputFormat(const std::string& path, int inputFormat, bool asFloat, int channels,
                        int rate, int& format, std::string& note, std::string& error) {
    const std::string extension = lower(fs::path(path).extension().string());
    int container = inputFormat != 0 ? (inputFormat & SF_FORMAT_TYPEMASK) : SF_FORMAT_WAV;
    int forced = 0;
    if (!extension.empty()) {
        const auto* e =
            std::find_if(std::begin(kExtensions), std::end(kExtensions),
                         [&](const Extension& x) { return "." + lower(x.name) == extension; });
        if (e == std::end(kExtensions)) {
            error = "unknown output file type '" + extension + "'; use one of " + knownExtensions();
            return false;
        }
        container = e->container;
        forced = e->sampleFormat;
    }
    note.clear();
    if (asFloat) {
        format = container | SF_FORMAT_FLOAT;
        if (forced != 0 || !formatOk(format, channels, rate)) {
            error = "a " + formatName(SFC_GET_FORMAT_INFO, container) +
                    " file cannot hold 32-bit float samples; with --float use .wav, .aiff, .caf, "
                    ".w64 or .rf64";
            return false;
        }
        return true;
    }
    const int wanted = forced != 0        ? forced
                       : inputFormat != 0 ? (inputFormat & SF_FORMAT_SUBMASK)
                                          : SF_FORMAT_PCM_16;
    const int choices[] = {wanted, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16, SF_FORMAT_VORBIS,
                           SF_FORMAT_MPEG_LAYER_III};
    for (int subtype : choices) {
        if (!formatOk(container | subtype, channels, rate)) continue;
        format = container | subtype;
        if (subtype != wanted)
            note = describeFormat(container).substr(0, describeFormat(container).find(' ')) +
                   " files cannot hold " + subtypeName(wanted) + " samples; writing " +
                   subtypeName(subtype);
        return true;
    }
    error = "a " + formatName(SFC_GET_FORMAT_INFO, container) + " file cannot hold " +
            std::to_string(channels) + " channels at " + std::to_string(rate) +
            " Hz; choose another output file type";
    return false;
}

std::string describeFormat(int format) {
    std::string container = formatName(SFC_GET_FORMAT_INFO, format & SF_FORMAT_TYPEMASK);
    container = container.substr(0, container.find(' '));
    return container + " " + subtypeName(format);
}

bool isIntegerFormat(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype != SF_FORMAT_FLOAT && subtype != SF_FORMAT_DOUBLE;
}

std::unique_ptr<PendingFile> PendingFile::create(const std::string& path, bool replace,
                                                 std::string& error) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = "the output folder '" + folder.string() + "' does not exist; create it first";
        return nullptr;
    }
    if (fs::is_directory(target, ec)) {
        error = "output '" + path + "' is a folder; give a file name";
        return nullptr;
    }
    if (fs::exists(fs::symlink_status(target, ec)) && !replace) {
        error = "output '" + path + "' already exists; add --force to replace it";
        return nullptr;
    }
    const std::string pattern =
        (folder / ("." + target.filename().string() + ".XXXXXX.part")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), 5);
    if (fd < 0) {
        error = "cannot create a file in '" + folder.string() + "': " + std::strerror(errno);
        return nullptr;
    }
    // mkstemps makes the file private; give it the mode any new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::unique_ptr<PendingFile> file(new PendingFile());
    file->fd = fd;
    file->finalPath = path;
    file->tempPath = name.data();
    file->replaceExisting = replace;
    return file;
}

PendingFile::~PendingFile() {
    discard();
}

void PendingFile::discard() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!tempPath.empty()) unlink(tempPath.c_str());
    tempPath.clear();
}

bool PendingFile::commit(std::string& error) {
    const bool synced = fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    fd = -1;
    if (!synced || !closed) {
        error = "writing '" + finalPath + "' failed: " + std::strerror(errno) + " (disk full?)";
        discard();
        return false;
    }
    if (replaceExisting) {
        if (std::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
            error = "cannot move the result to '" + finalPath + "': " + std::strerror(errno);
            discard();
            return false;
        }
    } else if (link(tempPath.c_str(), finalPath.c_str()) == 0) {
        // A hard link never replaces a file that appeared meanwhile.
        unlink(tempPath.c_str());
    } else if (errno == EEXIST) {
        error = "output '" + finalPath + "' appeared while rendering; add --force to replace it";
        discard();
        return false;
    } else {
        // File systems without hard links.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(finalPath, ec)) ||
            std::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
            error = "cannot move the result to '" + finalPath + "'";
            discard();
            return false;
        }
    }
    tempPath.clear();
    return true;
}

std::unique_ptr<AudioWriter> AudioWriter::create(const std::string& path, int format, int channels,
                                                 int rate, bool replace, std::string& error) {
    std::unique_ptr<AudioWriter> writer(new AudioWriter());
    writer->pending = PendingFile::create(path, replace, error);
    if (!writer->pending) return nullptr;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    writer->file = sf_open_fd(writer->pending->descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (writer->file == nullptr) {
        error = "cannot write " + describeFormat(format) + " to '" + path +
                "': " + sf_strerror(nullptr);
        return nullptr;
    }
    // Samples beyond full scale clip instead of wrapping round in integer
    // formats.
    sf_command(writer->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return writer;
}

AudioWriter::~AudioWriter() {
    if (file != nullptr) sf_close(file);
}

bool AudioWriter::write(const float* interleaved, long frames, std::string& error) {
    if (sf_writef_float(file, interleaved, frames) != frames) {
        error = "writing '" + pending->path() + "' failed: " + sf_strerror(file) + " (disk full?)";
        return false;
    }
    // Start writing the pages out now, without waiting, so the sync before
    // the file is moved into place finds little left to do.
    sync_file_range(pending->descriptor(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

bool AudioWriter::commit(std::string& error) {
    const int closed = sf_close(file);
    file = nullptr;
    if (closed != 0) {
        error = "finishing '" + pending->path() + "' failed: " + sf_error_number(closed);
        return false;
    }
    return pending->commit(error);
}

}  // namespace render
