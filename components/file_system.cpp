#include "components/file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifndef _WIN32
namespace {

// After a rename, the folder's entry is on disk too. A failure here leaves the new file in
// place (some file systems cannot sync a folder), so it is not an error of the write.
void SyncFolderOf(const std::string& path) {
    const fs::path folder = fs::path(path).parent_path();
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void StdFileSystem::WriteReplace(const std::string& path, std::string_view data) {
    // Owner-only whatever the umask (the settings file holds the password), and on disk before
    // it takes the old one's place, so a crash or power cut leaves the old file or the new one.
    const std::string tmp = path + ".new";
    ::unlink(tmp.c_str());  // a stale one: created afresh below, never followed if a link
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) Fail(path, errno);
    int err = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
    for (std::size_t done = 0; err == 0 && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n >= 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        Fail(path, err);
    }
    SyncFolderOf(path);
}
#else
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
#endif

void StdFileSystem::Append(const std::string& path, std::string_view data) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) Fail(path, errno);
    bool ok = WriteAll(f, data);
    const int err = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) Fail(path, err ? err : EIO);
}

}  // namespace qv
