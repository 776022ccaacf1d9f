// Record files held in memory for the fuzz targets: the store's own load and write paths run on them
// without a disk, so an input costs microseconds and leaves nothing behind.
#pragma once

#include "store/FileIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

class MemoryFileIo final : public FileIo {
public:
    // A file that is absent keeps its buffer, so one object can serve every input without
    // allocating the large images again.
    struct File {
        bool present = false;
        std::vector<std::uint8_t> bytes;
    };
    std::map<std::string, File> files;

    // Puts `path` in place with `bytes` as its content, or takes it away.
    void place(const std::string& path, const std::vector<std::uint8_t>* bytes)
    {
        File& f = files[path];
        f.present = bytes != nullptr;
        if (bytes)
            f.bytes.assign(bytes->begin(), bytes->end());
        else
            f.bytes.clear();
    }
    void closeAll() { m_open.clear(); }

    bool exists(const std::string& path) override
    {
        const auto it = files.find(path);
        return it != files.end() && it->second.present;
    }
    IoResult openRead(const std::string& path) override { return open(path, false); }
    IoResult openWrite(const std::string& path, OpenMode mode) override
    {
        if (mode != OpenMode::Existing) {
            File& f = files[path];
            if (mode == OpenMode::CreateTruncate || !f.present)
                f.bytes.clear();
            f.present = true;
        }
        return open(path, true);
    }
    IoResult seek(int fd, std::int64_t offset) override
    {
        Open* f = find(fd);
        if (f == nullptr || offset < 0)
            return {-1, EINVAL};
        f->position = std::size_t(offset);
        return {offset, 0};
    }
    IoResult seekEnd(int fd) override
    {
        Open* f = find(fd);
        if (f == nullptr)
            return {-1, EBADF};
        f->position = files[f->path].bytes.size();
        return {std::int64_t(f->position), 0};
    }
    IoResult write(int fd, const void* data, std::size_t size) override
    {
        Open* f = find(fd);
        if (f == nullptr || !f->writable)
            return {-1, EBADF};
        std::vector<std::uint8_t>& bytes = files[f->path].bytes;
        if (bytes.size() < f->position + size)
            bytes.resize(f->position + size);
        if (size > 0)
            std::memcpy(bytes.data() + f->position, data, size);
        f->position += size;
        return {std::int64_t(size), 0};
    }
    IoResult writeAtOffset(int fd, std::int64_t offset, const void* data, std::size_t size) override
    {
        const IoResult r = seek(fd, offset);
        return r.ok() ? write(fd, data, size) : r;
    }
    IoResult read(int fd, void* data, std::size_t size) override
    {
        Open* f = find(fd);
        if (f == nullptr)
            return {-1, EBADF};
        const std::vector<std::uint8_t>& bytes = files[f->path].bytes;
        const std::size_t n = f->position < bytes.size() ? std::min(size, bytes.size() - f->position) : 0;
        if (n > 0)
            std::memcpy(data, bytes.data() + f->position, n);
        f->position += n;
        return {std::int64_t(n), 0};
    }
    void close(int fd) override { m_open.erase(fd); }
    IoResult sync(int fd) override { return find(fd) != nullptr ? IoResult{0, 0} : IoResult{-1, EBADF}; }
    IoResult syncDirectoryOf(const std::string&) override { return {0, 0}; }
    std::optional<std::uint64_t> regularFileSize(int fd) override
    {
        const Open* f = find(fd);
        return f != nullptr ? std::optional<std::uint64_t>(files[f->path].bytes.size()) : std::nullopt;
    }
    bool stillWhole(int fd, const std::string& path, std::size_t size) override
    {
        const Open* f = find(fd);
        return f != nullptr && f->path == path && exists(path) && files[path].bytes.size() >= size;
    }

    // Descriptors the store forgot to close.
    [[nodiscard]] std::size_t openCount() const { return m_open.size(); }

private:
    struct Open {
        std::string path;
        std::size_t position = 0;
        bool writable = false;
    };
    IoResult open(const std::string& path, bool writable)
    {
        if (!exists(path))
            return {-1, ENOENT};
        const int fd = m_next++;
        m_open[fd] = Open{path, 0, writable};
        return {fd, 0};
    }
    Open* find(int fd)
    {
        const auto it = m_open.find(fd);
        return it == m_open.end() ? nullptr : &it->second;
    }
    std::map<int, Open> m_open;
    int m_next = 3;
};
