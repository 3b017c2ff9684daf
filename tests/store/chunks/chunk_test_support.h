// Helpers of the chunk tests: one backend per archive kind (file and memory) behind the same
// calls, so that every behaviour is checked on both, and a scoped debug switch.
#pragma once

#include <string>

#include "qzobj/diag.h"
#include "qzobj/store.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test::chunks {

inline std::u16string System(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

using ScopedDebug = qzo::test::ScopedDebugOutput;

// A file archive on "tree.chk" in the test's folder.
class FileBackend {
  public:
    static constexpr const char* kOwner = "CChunkArchive";
    void Init(const std::string& folder) { path_ = folder + "/tree.chk"; }
    bool Open(DWORD access) {
        const DWORD creation = (access & GENERIC_WRITE) ? CREATE_ALWAYS : OPEN_EXISTING;
        return archive_.Open(System(path_).c_str(), access, creation, 0) == 0;
    }
    BOOL Close() { return archive_.Close(); }
    BOOL Find(const char* name) { return archive_.Chnk_Find(name); }
    // The stored bytes (the archive is closed first).
    std::string Bytes() {
        archive_.Close();
        return ReadFileBytes(path_);
    }
    // Stores the bytes and opens them for reading.
    bool Load(const std::string& bytes) {
        archive_.Close();
        WriteFileBytes(path_, bytes);
        return Open(GENERIC_READ);
    }
    // Stores the bytes and opens them for reading and writing.
    bool LoadForUpdate(const std::string& bytes) {
        archive_.Close();
        WriteFileBytes(path_, bytes);
        return archive_.Open(System(path_).c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                             0) == 0;
    }
    CQZArchive& archive() { return archive_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    CChunkArchive archive_;
};

// A memory archive.
class MemoryBackend {
  public:
    static constexpr const char* kOwner = "CMemChunkArchive";
    void Init(const std::string&) {}
    bool Open(DWORD access) { return archive_.Open(access) != 0; }
    BOOL Close() { return archive_.Close(); }
    BOOL Find(const char* name) { return archive_.Chnk_Find(name); }
    std::string Bytes() {
        archive_.Close();
        const CPMemoryFile content = archive_.GetContent();
        const char* data = static_cast<const char*>(content.GetCDataPtr());
        return data ? std::string(data, content.GetSize()) : std::string();
    }
    bool Load(const std::string& bytes) { return Take(bytes, GENERIC_WRITE) && Open(GENERIC_READ); }
    // The content arrives with read and write access, the pointer at its start.
    bool LoadForUpdate(const std::string& bytes) {
        return Take(bytes, GENERIC_READ | GENERIC_WRITE);
    }
    CQZArchive& archive() { return archive_; }

  private:
    bool Take(const std::string& bytes, DWORD access) {
        CPMemoryFile source;
        if (!source.Open(access)) return false;
        if (!bytes.empty() &&
            source.Write(bytes.data(), static_cast<DWORD>(bytes.size())) != bytes.size())
            return false;
        if (!source.SetFilePtr(0, FILE_BEGIN)) return false;
        return archive_.SetContent(source) != 0;
    }

    CMemChunkArchive archive_;
};

}  // namespace qzo::test::chunks
