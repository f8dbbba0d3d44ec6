// Files of the batch protocols: the names SendFile takes, where RecvFile puts
// what arrives, the mapping of a sender's (untrusted) names to local ones,
// and the file operations a batch needs beyond reading and writing.
//
// Name mapping (SafeName), in this order:
// - the bytes are UTF-8 when they are valid UTF-8, otherwise the system's
//   ANSI code page;
// - only the last component is kept: everything up to the last '/' or '\'
//   goes, and a drive prefix ("C:") with it, since ':' is mapped below;
// - control characters (below 0x20, and 0x7F) and < > : " | ? * become '_'
//   (':' is also the separator of alternate data streams);
// - trailing dots and spaces are removed (the system would drop them), so
//   "." and ".." become empty;
// - an empty name becomes "_";
// - a reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-COM9,
//   LPT0-LPT9, also with the superscript digits ¹²³, with or without an
//   extension, in any case) gets a leading '_': "CON" -> "_CON",
//   "nul.txt" -> "_nul.txt";
// - the result is cut to 200 characters.
// So "..\..\x" -> "x", "C:\x" -> "x", "a:b" -> "a_b", "/etc/passwd" -> "passwd".
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "xmodem/engine.h"

namespace qlr::xmodem {

struct FileFacts {
    unsigned long long size = 0;
    long long modified = 0;  // seconds since 1970-01-01 UTC; 0: unknown
    bool folder = false;
};

class BatchFileSystem : public FileSystem {
public:
    // False when nothing of that name exists.
    virtual bool Stat(const wchar_t* path, FileFacts& facts) = 0;
    virtual bool SetModified(const wchar_t* path, long long modified) = 0;
    // The files (not folders) that a pattern with * or ? in its last
    // component matches, as full paths, sorted.
    virtual std::vector<std::wstring> Match(const std::wstring& pattern) = 0;
    virtual bool MakeFolder(const wchar_t* path) = 0;
    // Opens an existing file for writing at its end.
    virtual std::unique_ptr<File> OpenForAppend(const wchar_t* path) = 0;
};

// Disk files through the system.
BatchFileSystem& DiskBatchFiles();
// A disk file that owns handle.
std::unique_ptr<File> DiskFileOf(HANDLE handle);

// The local name for a name a sender gave (see above).
std::wstring SafeName(const std::string& sent);

// The name that goes in a header for a local path: its last component, UTF-8.
std::string HeaderName(const std::wstring& path);

// SendFile's argument: one name, a pattern in the last component, or several
// of these separated by '|'. The pieces in order, empty ones left out.
std::vector<std::wstring> SplitNames(const std::wstring& names);
bool HasWildcard(const std::wstring& piece);
// The files to send, in order; false (and missing set to the piece) when a
// piece names no file or its pattern matches none.
bool ExpandNames(BatchFileSystem& files, const std::wstring& names,
                 std::vector<std::wstring>& paths, std::wstring& missing);

// Where RecvFile puts the files of a batch. A name that is a folder (exists as
// one, or ends with '\' or '/') takes every file under its sender's name;
// otherwise the first file is stored as first and the rest in its folder.
struct Destination {
    std::wstring folder;  // ends with '\' unless empty (the current folder)
    std::wstring first;   // empty when name is a folder
};
Destination DestinationOf(BatchFileSystem& files, const std::wstring& name);
// The local path of the index-th file of the batch (0 based) sent as sent.
std::wstring PathFor(const Destination& destination, size_t index, const std::string& sent);

}  // namespace qlr::xmodem
