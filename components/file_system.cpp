#include "components/file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace qv {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void Fail(const std::string& what, int err) {
    throw ComponentError(err ? err : kErrFileIo,
                         what + ": " + (err ? std::strerror(err) : "Path/File access error"));
}

// Writes all of data to f; false on a short write.
bool WriteAll(std::FILE* f, std::string_view data) {
    return data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
}

}  // namespace

bool StdFileSystem::Exists(const std::string& path) const {
    std::error_code ec;
    return fs::is_regular_file(fs::path(path), ec);
}

void StdFileSystem::Remove(const std::string& path) {
    std::error_code ec;
    fs::remove(fs::path(path), ec);
    if (ec) Fail(path, ec.value());
}

std::string StdFileSystem::ReadAll(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) Fail(path, errno);
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    const bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) Fail(path, EIO);
    return out;
}

void StdFileSystem::WriteReplace(const std::string& path, std::string_view data) {
    // The new file is complete on disk before it takes the old one's place.
    const std::string tmp = path + ".new";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) Fail(path, errno);
    bool ok = WriteAll(f, data);
    ok = (std::fflush(f) == 0) && ok;
    const int err = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::remove(tmp.c_str());
        Fail(path, err ? err : EIO);
    }
    std::error_code ec;
    fs::rename(fs::path(tmp), fs::path(path), ec);
    if (ec) {
        std::remove(tmp.c_str());
        Fail(path, ec.value());
    }
}

void StdFileSystem::Append(const std::string& path, std::string_view data) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) Fail(path, errno);
    bool ok = WriteAll(f, data);
    const int err = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) Fail(path, err ? err : EIO);
}

}  // namespace qv
