// The transfer's files on disk, through the platform layer.
#include "xmodem/batch_files.h"
#include "xmodem/engine.h"

namespace qlr::xmodem {
namespace {

class DiskFile final : public File {
public:
    explicit DiskFile(HANDLE h) : handle_(h) {}

    bool Read(unsigned char* buffer, DWORD want, DWORD& got) override {
        got = 0;
        while (got < want) {  // a short read only at the end of the file
            DWORD done = 0;
            if (!platform::Current().ReadFile(handle_.get(), buffer + got, want - got, &done,
                                              nullptr))
                return false;
            if (done == 0) break;
            got += done;
        }
        return true;
    }

    bool Write(const unsigned char* buffer, DWORD count) override {
        DWORD total = 0;
        while (total < count) {
            DWORD done = 0;
            if (!platform::Current().WriteFile(handle_.get(), buffer + total, count - total, &done,
                                               nullptr) ||
                done == 0)
                return false;
            total += done;
        }
        return true;
    }

private:
    platform::UniqueHandle handle_;
};

class Disk final : public FileSystem {
public:
    std::unique_ptr<File> OpenForReading(const wchar_t* name) override {
        return Open(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    }
    std::unique_ptr<File> CreateForWriting(const wchar_t* name) override {
        return Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS);
    }

private:
    static std::unique_ptr<File> Open(const wchar_t* name, DWORD access, DWORD share,
                                      DWORD disposition) {
        if (!name) return nullptr;
        HANDLE h = platform::Current().CreateFileW(name, access, share, disposition,
                                                   FILE_ATTRIBUTE_NORMAL);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return nullptr;
        return std::make_unique<DiskFile>(h);
    }
};

}  // namespace

std::unique_ptr<File> DiskFileOf(HANDLE handle) { return std::make_unique<DiskFile>(handle); }

FileSystem& DiskFiles() {
    static Disk disk;
    return disk;
}

}  // namespace qlr::xmodem
