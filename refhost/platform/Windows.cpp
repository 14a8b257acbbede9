// The platform layer on Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <thread>

#include "refhost/platform/ChildNotes.h"
#include "refhost/platform/CommandLine.h"
#include "refhost/platform/FaultText.h"
#include "refhost/platform/Platform.h"
#include "refhost/platform/WideText.h"

namespace refhost::platform {

namespace {

// The system's text for an error code, without its closing full stop and line
// end; `insert` (a file's name) stands for the %1 that some texts have.
std::string systemText(DWORD code, const std::string& insert = "") {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = buffer ? narrow(buffer, length) : std::string();
    if (buffer) LocalFree(buffer);
    if (const std::size_t at = text.find("%1"); at != std::string::npos && !insert.empty()) text.replace(at, 2, insert);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "system error %lu", static_cast<unsigned long>(code));
        text = number;
    }
    return text;
}

std::string lastErrorText() { return systemText(GetLastError()); }

// A path for the system's calls: backslashes only.
std::wstring systemPath(const std::string& path) {
    std::wstring out = wide(path);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

// A new file in the temporary folder, open for reading and writing, deleted
// when its last handle closes; null when none can be made.
HANDLE temporaryFile(SECURITY_ATTRIBUTES* attributes) {
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"rh", 0, name) == 0) return nullptr;
    HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    return file;
}

// At most `limit` bytes of the file from `offset`, with the C runtime's line
// ends back to "\n"; `end` is the file's size. The file's position ends where
// the bytes read end.
std::string readFrom(HANDLE file, std::size_t offset, std::size_t limit, std::size_t& end) {
    LARGE_INTEGER size{};
    end = GetFileSizeEx(file, &size) ? static_cast<std::size_t>(size.QuadPart) : offset;
    std::string text(std::min(limit, end > offset ? end - offset : 0), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        DWORD n = 0;
        if (!ReadFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &n, &at) || n == 0) break;
        done += n;
    }
    text.resize(done);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') out += text[i];
    return out;
}

} // namespace

namespace {

// ---- the DLLs a module needs ----

// The names of the DLLs the PE file at `path` imports, read from the file;
// empty where it is none.
std::vector<std::string> importedLibraries(const std::wstring& path) {
    std::vector<std::string> names;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return names;
    LARGE_INTEGER size{};
    std::vector<uint8_t> bytes;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (int64_t{256} << 20)) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD n = 0;
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) || n != bytes.size()) bytes.clear();
    }
    CloseHandle(file);
    auto read = [&](std::size_t offset, auto& out) {
        if (offset > bytes.size() || sizeof out > bytes.size() - offset) return false;
        std::memcpy(&out, bytes.data() + offset, sizeof out);
        return true;
    };
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS32 nt{};
    if (!read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !read(static_cast<std::size_t>(dos.e_lfanew), nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return names;
    const std::size_t sections = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                 nt.FileHeader.SizeOfOptionalHeader;
    // Where in the file the byte at `rva` of the loaded image is, or npos.
    auto fileOffset = [&](uint32_t rva) -> std::size_t {
        for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section{};
            if (!read(sections + i * sizeof section, section)) break;
            const uint32_t extent = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent)
                return std::size_t{section.PointerToRawData} + (rva - section.VirtualAddress);
        }
        return std::string::npos;
    };
    const IMAGE_DATA_DIRECTORY imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT || !imports.VirtualAddress) return names;
    const std::size_t first = fileOffset(imports.VirtualAddress);
    for (std::size_t at = first; at != std::string::npos && names.size() < 256; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR entry{};
        if (!read(at, entry) || entry.Name == 0) break;
        const std::size_t name = fileOffset(entry.Name);
        if (name == std::string::npos || name >= bytes.size()) continue;
        const auto* text = reinterpret_cast<const char*>(bytes.data() + name);
        names.emplace_back(text, strnlen(text, bytes.size() - name));
    }
    return names;
}

// Where the loader would find the DLL `name` for a module in `folder`: the
// folder, then the usual search (refhost's folder, the system folders,
// PATH). Empty when it would not; "loaded" for one that is loaded already.
std::wstring foundLibrary(const std::wstring& name, const std::wstring& folder) {
    if (GetModuleHandleW(name.c_str())) return L"loaded";
    // An API set names no file; the system resolves it.
    if (_wcsnicmp(name.c_str(), L"api-ms-", 7) == 0 || _wcsnicmp(name.c_str(), L"ext-ms-", 7) == 0) return L"loaded";
    wchar_t found[MAX_PATH];
    for (const wchar_t* where : {folder.c_str(), static_cast<const wchar_t*>(nullptr)})
        if (SearchPathW(where, name.c_str(), nullptr, MAX_PATH, found, nullptr) > 0) return found;
    return {};
}

// The folder part of a Windows path, without its last separator.
std::wstring folderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// Appends the DLLs that the PE file at `path` needs, directly or through the
// DLLs it finds beside itself or on the search path, that are nowhere.
void collectMissing(const std::wstring& path, const std::string& neededBy, int depth, std::vector<std::wstring>& seen,
                    std::vector<std::string>& missing) {
    wchar_t system[MAX_PATH] = L"";
    const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    for (const std::string& name : importedLibraries(path)) {
        const std::wstring wideName = wide(name);
        const auto sameName = [&](const std::wstring& other) { return _wcsicmp(other.c_str(), wideName.c_str()) == 0; };
        if (std::find_if(seen.begin(), seen.end(), sameName) != seen.end()) continue;
        seen.push_back(wideName);
        const std::wstring found = foundLibrary(wideName, folderOf(path));
        if (found.empty()) {
            missing.push_back(neededBy.empty() ? name : name + " (which " + neededBy + " needs)");
        } else if (depth < 3 && found != L"loaded" &&
                   _wcsnicmp(found.c_str(), system, systemLength) != 0) {
            collectMissing(found, name, depth + 1, seen, missing);
        }
    }
}

// "; it needs a.dll, which is neither beside it nor in the system folders or
// on PATH" for the DLLs the module at `path` needs that are nowhere; empty
// when each of them is somewhere.
std::string missingLibraries(const std::wstring& path) {
    std::vector<std::wstring> seen;
    std::vector<std::string> missing;
    collectMissing(path, "", 0, seen, missing);
    if (missing.empty()) return {};
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i)
        list += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
    return "; it needs " + list + (missing.size() == 1 ? ", which is" : ", which are") +
           " neither beside it nor in the system folders or on PATH";
}

} // namespace

namespace {
std::atomic<bool> watchingFrees{false};
void watchFreesOf(HMODULE library);
} // namespace

void* openLibrary(const std::string& path, bool keepLoaded, std::string& error) {
    // A name without a separator would be searched for on the DLL search path.
    const std::string openPath = lastSeparator(path) == std::string::npos ? ".\\" + path : path;
    // No dialog box for a file that is not a DLL; the error comes back here.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryExW(systemPath(openPath).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD code = GetLastError();
    SetErrorMode(previousMode);
    if (!library) {
        error = systemText(code, path.substr(lastSeparator(path) + 1));  // "Bad EXE format for notes.p"
        if (code == ERROR_MOD_NOT_FOUND) error += missingLibraries(systemPath(openPath));
        return nullptr;
    }
    if (watchingFrees) watchFreesOf(library);
    if (keepLoaded) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(library), &pinned);
    }
    return library;
}

void* librarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

bool inLibraryOf(const void* anchor, const void* address) {
    constexpr DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    HMODULE a = nullptr, b = nullptr;
    return GetModuleHandleExW(flags, static_cast<LPCWSTR>(anchor), &a) &&
           GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &b) && a == b;
}

LibraryFormat libraryFormat() { return LibraryFormat::PortableExecutable; }

bool readMemory(const void* address, void* out, std::size_t size) {
    if (size == 0) return true;
    if (!address) return false;
    SIZE_T read = 0;
    return ReadProcessMemory(GetCurrentProcess(), address, out, size, &read) && read == size;
}

std::size_t allocationSize(const void* block) { return _msize(const_cast<void*>(block)); }

std::optional<std::size_t> heapInUse(std::string& whyNot) {
    whyNot.clear();
    std::size_t used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    return used;
}

// ---- what a module may not change ----

const char* const kThreadsProperty = "the number of threads";

std::vector<ProcessProperty> processProperties() {
    std::vector<ProcessProperty> properties;
    const char* locale = std::setlocale(LC_ALL, nullptr);
    properties.push_back({"the C locale", locale ? std::string("\"") + locale + "\"" : "none"});
    std::wstring folder(MAX_PATH, L'\0');
    for (DWORD size; (size = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data())) > folder.size();)
        folder.resize(size);
    properties.push_back({"the working folder", narrow(folder.c_str(), std::wcslen(folder.c_str()))});
    // The system's block, which the C runtime's putenv changes too; the
    // entries that begin with '=' are each drive's working folder.
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
            if (*entry == L'=') continue;
            const std::string text = narrow(entry, std::wcslen(entry));
            const std::size_t equals = text.find('=');
            properties.push_back({"the environment variable " + text.substr(0, equals),
                                  equals == std::string::npos ? "" : "\"" + text.substr(equals + 1) + "\""});
        }
        FreeEnvironmentStringsW(block);
    }
    std::size_t threads = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
            threads += entry.th32OwnerProcessID == GetCurrentProcessId();
        CloseHandle(snapshot);
    }
    properties.push_back({kThreadsProperty, std::to_string(threads)});
    // A process always holds handles: a count of 0 is a system that does not
    // count them (Wine answers 0 whatever is open), and says nothing.
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        properties.push_back({"the open handles", std::to_string(handles)});
    return properties;
}

FileKind fileKind(const std::string& path, std::string& reason) {
    const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        reason = lastErrorText();
        return FileKind::Missing;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Other;
    return FileKind::Regular;
}

int64_t fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return -1;
    return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

namespace {

// A name beside `path` that no other file has yet.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()), counter++);
    return path + suffix;
}

} // namespace

bool folderWritable(const std::string& folder, std::string& reason) {
    // Windows has no cheap question for this: make a file there, and let it go.
    const std::string probe = temporaryName((folder.empty() ? std::string(".") : folder) + "\\.refhost-writable");
    HANDLE file = CreateFileW(systemPath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = lastErrorText();
        return false;
    }
    CloseHandle(file);
    return true;
}

bool replaceFile(const std::string& path, std::span<const uint8_t> bytes, std::string& reason) {
    const std::wstring temp = systemPath(temporaryName(path));
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = lastErrorText();
        return false;
    }
    bool written = true;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
        DWORD n = 0;
        written = WriteFile(file, bytes.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    // On the disk before the rename, so that a crash right after it cannot
    // leave an empty or partial file under the output's name.
    written = written && FlushFileBuffers(file);
    DWORD error = written ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && written) {
        written = false;
        error = GetLastError();
    }
    if (written &&
        !MoveFileExW(temp.c_str(), systemPath(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        error = GetLastError();
    }
    if (!written) {
        DeleteFileW(temp.c_str());
        reason = systemText(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
    }
    return written;
}

std::string programPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return narrow(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

std::string withSystemSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

namespace {

// Matches `pattern` at `p` against `name` at `n`, as fnmatch with no flags:
// * any run of characters, ? one, [...] one of a class ([!...] or [^...]
// none of it, a-z a range), a backslash quotes the next character.
bool matchFrom(const std::string& pattern, std::size_t p, const std::string& name, std::size_t n) {
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == '*') {
            while (p < pattern.size() && pattern[p] == '*') ++p;
            if (p == pattern.size()) return true;
            for (std::size_t from = n; from <= name.size(); ++from)
                if (matchFrom(pattern, p, name, from)) return true;
            return false;
        }
        if (n == name.size()) return false;
        if (c == '?') {
            ++p, ++n;
            continue;
        }
        if (c == '[') {
            std::size_t q = p + 1;
            const bool negated = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
            if (negated) ++q;
            bool found = false, closed = false;
            for (bool first = true; q < pattern.size(); first = false) {
                if (pattern[q] == ']' && !first) {
                    closed = true;
                    ++q;
                    break;
                }
                char low = pattern[q];
                if (low == '\\' && q + 1 < pattern.size()) low = pattern[++q];
                char high = low;
                if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                    high = pattern[q + 2];
                    if (high == '\\' && q + 3 < pattern.size()) high = pattern[++q + 2];
                    q += 2;
                }
                const auto at = static_cast<unsigned char>(name[n]);
                if (static_cast<unsigned char>(low) <= at && at <= static_cast<unsigned char>(high)) found = true;
                ++q;
            }
            if (closed) {
                if (found == negated) return false;
                p = q, ++n;
                continue;
            }
            // An unclosed [ is an ordinary character.
        }
        char literal = c;
        if (c == '\\' && p + 1 < pattern.size()) literal = pattern[++p];
        if (name[n] != literal) return false;
        ++p, ++n;
    }
    return n == name.size();
}

} // namespace

bool nameMatches(const std::string& pattern, const std::string& name) { return matchFrom(pattern, 0, name, 0); }

// ---- UTF-8 outside, UTF-16 for the system ----

std::vector<std::string> commandArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; arguments && i < count; ++i) out.push_back(narrow(arguments[i], std::wcslen(arguments[i])));
    if (arguments) LocalFree(arguments);
    // Without them (no memory), the C runtime's as they are.
    if (out.empty()) out.assign(argv, argv + argc);
    return out;
}

std::FILE* openForReading(const std::string& path, std::string& reason) {
    std::FILE* file = _wfopen(systemPath(path).c_str(), L"rb");
    if (!file) reason = std::strerror(errno);
    return file;
}

char folderSeparator() { return '\\'; }

bool startsAtRoot(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

namespace {

// The console behind `stream`, or null when it goes to a file, a pipe or
// nowhere. Asked once per handle and thread: a trace prints a line per call.
HANDLE consoleOf(std::FILE* stream) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    thread_local HANDLE asked = INVALID_HANDLE_VALUE;
    thread_local bool console = false;
    if (handle != asked) {
        DWORD mode = 0;
        asked = handle;
        console = handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
    }
    return console ? handle : nullptr;
}

} // namespace

void writeText(std::FILE* stream, std::string_view text) {
    HANDLE console = consoleOf(stream);
    if (!console) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    // What the stream holds goes first; the console takes UTF-16 in pieces
    // of a bounded size, none ending inside a surrogate pair.
    std::fflush(stream);
    const std::wstring characters = wide(std::string(text));
    constexpr std::size_t kPiece = 4096;
    for (std::size_t done = 0; done < characters.size();) {
        std::size_t size = std::min(kPiece, characters.size() - done);
        if (size < characters.size() - done && IS_HIGH_SURROGATE(characters[done + size - 1])) --size;
        DWORD written = 0;
        if (!WriteConsoleW(console, characters.data() + done, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

void print(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char small[512];
    va_list again;
    va_copy(again, arguments);
    const int size = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (size >= 0 && static_cast<std::size_t>(size) < sizeof small) {
        writeText(stream, {small, static_cast<std::size_t>(size)});
    } else if (size >= 0) {
        std::string text(static_cast<std::size_t>(size) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
        writeText(stream, text);
    }
    va_end(again);
}

std::size_t pageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* reservePages(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS); }

bool makeAccessible(void* at, std::size_t bytes) {
    DWORD previous = 0;
    return VirtualProtect(at, bytes, PAGE_READWRITE, &previous) != 0;
}

void releasePages(void* at, std::size_t) { VirtualFree(at, 0, MEM_RELEASE); }

bool isTerminal(std::FILE* stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

namespace {

void (*interruptHandler)(int) = nullptr;
// The exit status the last request asked for, while a handler is installed,
// and an event set with it that wakes runChild to end its child.
std::atomic<int> stopStatus{0};
HANDLE stopEvent = nullptr;

// The exit status for a console event, as the C runtime numbers the signals
// (SIGINT 2, SIGBREAK 21); a closed console is a terminal gone, SIGHUP's 1.
// 0 for the events a console program never sees.
int statusOfEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: return 128 + 2;
    case CTRL_BREAK_EVENT: return 128 + 21;
    case CTRL_CLOSE_EVENT: return 128 + 1;
    default: return 0;
    }
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const int status = statusOfEvent(event);
    if (status == 0) return FALSE;
    stopStatus = status;
    SetEvent(stopEvent);
    if (interruptHandler) interruptHandler(status);
    // The system ends the process once this returns from a close (or after
    // five seconds): the main thread has until then to end its children and
    // exit with its status.
    if (event == CTRL_CLOSE_EVENT) Sleep(4000);
    return TRUE;
}

// A check's child leaves every console event to its parent, which ends it:
// Ctrl-C and Ctrl-Break are not for it, and a closing console ends it when
// the parent does.
BOOL WINAPI leaveToParent(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

} // namespace

void installInterruptHandler(void (*handler)(int)) {
    interruptHandler = handler;
    stopStatus = 0;
    if (!stopEvent) stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(stopEvent);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void removeInterruptHandler() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    interruptHandler = nullptr;
    stopStatus = 0;
    if (stopEvent) ResetEvent(stopEvent);
}

void endByInterrupt(int exitStatus) {
    std::fflush(stdout);
    std::fflush(ownOutput());
    std::fflush(stderr);
    // refhost's status for an interrupted run, as on Linux (a console
    // program that Ctrl-C ends would otherwise have 0xC000013A).
    ExitProcess(static_cast<UINT>(exitStatus));
}

// ---- the code a fault hit in ----
//
// Found from an exception handler: the module from the memory's allocation,
// the symbol from the module's export table as it is mapped, read without
// faulting and without allocating.

namespace {

// The nearest export below `rva` in the section that holds it, of the image
// mapped at `base`; false where there is none.
bool nearestExport(const uint8_t* base, uint32_t rva, char* name, std::size_t nameSize, uintptr_t& fromSymbol) {
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS32 nt{};
    if (!readMemory(base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !readMemory(base + dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
        return false;
    const uint32_t imageSize = nt.OptionalHeader.SizeOfImage;
    // The section of `rva`: an export elsewhere (data, another section) is no function of this code.
    uint32_t sectionStart = 0, sectionEnd = imageSize;
    const uint8_t* sections = base + dos.e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                              nt.FileHeader.SizeOfOptionalHeader;
    for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!readMemory(sections + i * sizeof section, &section, sizeof section)) return false;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.Misc.VirtualSize) {
            sectionStart = section.VirtualAddress;
            sectionEnd = section.VirtualAddress + section.Misc.VirtualSize;
        }
    }
    const IMAGE_DATA_DIRECTORY directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY exports{};
    if (!directory.VirtualAddress || directory.VirtualAddress >= imageSize ||
        !readMemory(base + directory.VirtualAddress, &exports, sizeof exports))
        return false;
    bool found = false;
    uint32_t best = 0, bestName = 0;
    for (DWORD i = 0; i < exports.NumberOfNames && i < 65536; ++i) {
        uint32_t nameRva = 0, function = 0;
        uint16_t ordinal = 0;
        if (!readMemory(base + exports.AddressOfNames + 4 * i, &nameRva, sizeof nameRva) ||
            !readMemory(base + exports.AddressOfNameOrdinals + 2 * i, &ordinal, sizeof ordinal) ||
            !readMemory(base + exports.AddressOfFunctions + 4 * ordinal, &function, sizeof function))
            return false;
        if (function < sectionStart || function >= sectionEnd || function > rva) continue;
        if (!found || function > best) best = function, bestName = nameRva, found = true;
    }
    if (!found || nameSize == 0) return false;
    std::size_t length = 0;
    for (char c; length + 1 < nameSize && readMemory(base + bestName + length, &c, 1) && c; ++length) name[length] = c;
    name[length] = '\0';
    fromSymbol = rva - best;
    return length > 0;
}

// " in name.p+0x1a3b (export+0x10)" for the code at `pc`.
void describeCode(uintptr_t pc, FaultText& out) {
    MEMORY_BASIC_INFORMATION region{};
    if (!VirtualQuery(reinterpret_cast<const void*>(pc), &region, sizeof region) || region.State != MEM_COMMIT ||
        !region.AllocationBase) {
        out.put(" by a jump to ").hex(pc, 8).put(", where no code is");
        return;
    }
    const auto* base = static_cast<const uint8_t*>(region.AllocationBase);
    if (region.Type != MEM_IMAGE) {
        out.put(" in memory of no module, at ").hex(pc, 8);
        return;
    }
    if (base == reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr))) {
        out.put(" in refhost's own code");
        return;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(const_cast<uint8_t*>(base)), path, MAX_PATH);
    const wchar_t* file = path;
    for (DWORD i = 0; i < length; ++i)
        if (path[i] == L'\\' || path[i] == L'/') file = path + i + 1;
    char name[MAX_PATH * 3] = "a module";
    if (length > 0) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, file, static_cast<int>(path + length - file), name,
                                          sizeof name - 1, nullptr, nullptr);
        name[n > 0 ? n : 0] = '\0';
    }
    char symbol[256];
    uintptr_t fromSymbol = 0;
    const uint32_t rva = static_cast<uint32_t>(pc - reinterpret_cast<uintptr_t>(base));
    const bool named = nearestExport(base, rva, symbol, sizeof symbol, fromSymbol);
    out.location(name, rva, named ? symbol : nullptr, fromSymbol);
}

} // namespace

// ---- a child process with a time limit ----
//
// The child is this program started again. Its standard output is a pipe that
// carries its result; its last note and what its fault handler saw go to a
// section of memory shared with the parent, whose handle the child inherits
// and finds in an environment variable, so that they survive its crash.

namespace {

constexpr wchar_t kNotesVariable[] = L"REFHOST_CHILD_NOTES";

ChildNotes* childNotes = nullptr;  // shared with the parent (a file mapping)
HANDLE parentChannel = INVALID_HANDLE_VALUE;
bool (*faultDescriber)(const void*, char*, std::size_t) = nullptr;

std::string exceptionName(DWORD code) {
    const char* name = nullptr;
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: name = "access violation"; break;
    case EXCEPTION_STACK_OVERFLOW: name = "stack overflow"; break;
    case EXCEPTION_ILLEGAL_INSTRUCTION: name = "illegal instruction"; break;
    case EXCEPTION_PRIV_INSTRUCTION: name = "privileged instruction"; break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO: name = "integer division by zero"; break;
    case EXCEPTION_IN_PAGE_ERROR: name = "in-page error"; break;
    case EXCEPTION_DATATYPE_MISALIGNMENT: name = "misaligned data"; break;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: name = "array bounds exceeded"; break;
    case EXCEPTION_BREAKPOINT: name = "breakpoint"; break;
    case STATUS_HEAP_CORRUPTION: name = "heap corruption"; break;
    case STATUS_STACK_BUFFER_OVERRUN: name = "stack buffer overrun"; break;
    default: break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
    return name ? std::string(text) + " (" + name + ")" : std::string(text);
}

// Notes where a fault hit and ends the process with the exception's code,
// before the system would offer a debugger.
LONG WINAPI noteFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (childNotes) {
        const void* address = record->ExceptionAddress;
        if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
            record->NumberParameters >= 2)
            address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
        char location[768];
        FaultText code(location, sizeof location);
        describeCode(reinterpret_cast<uintptr_t>(record->ExceptionAddress), code);
        childNotes->noteFault(address, location, faultDescriber);
    }
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

HANDLE inheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!handle || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// The job every child is put in. refhost holds its only handle, which the
// system closes however refhost ends, and the job's children end with it.
HANDLE childJob() {
    static const HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created && !SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(created);
            created = nullptr;
        }
        return created;
    }();
    return job;
}

// Starts the child suspended, so that it runs no code outside the job. Its
// own process group keeps Ctrl-C from it: the parent ends it.
BOOL startInJob(std::wstring& line, STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &process))
        return FALSE;
    // Where refhost's own job allows no job inside it, the child runs untied.
    if (HANDLE job = childJob()) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    return TRUE;
}

enum class Waited { Ended, TimedOut, Stopped, ChannelClosed };

// Waits for the child's end, its time limit, a request to stop or, when
// `channelClosed` is given, the close of its channel.
Waited waitForChild(HANDLE process, double milliseconds, HANDLE channelClosed = nullptr) {
    HANDLE handles[3] = {process};
    DWORD count = 1;
    const DWORD stopAt = stopEvent ? count : MAXDWORD;
    if (stopEvent) handles[count++] = stopEvent;
    const DWORD closedAt = channelClosed ? count : MAXDWORD;
    if (channelClosed) handles[count++] = channelClosed;
    const DWORD waited =
        WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(std::min(milliseconds, 4.0e9)));
    if (waited == WAIT_OBJECT_0) return Waited::Ended;
    if (waited == WAIT_OBJECT_0 + stopAt) return Waited::Stopped;
    return waited == WAIT_OBJECT_0 + closedAt ? Waited::ChannelClosed : Waited::TimedOut;
}

} // namespace

ChildEnd runChild(const ChildTask& task, double timeoutSeconds) {
    ChildEnd end;
    if (stopStatus) {
        end.how = ChildEnd::How::Stopped;
        return end;
    }
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0, sizeof(ChildNotes), nullptr);
    auto* notes = section ? static_cast<ChildNotes*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(ChildNotes)))
                          : nullptr;
    // Two pipes: the child's standard output (its result), and its standard input.
    HANDLE readEnd = nullptr, writeEnd = nullptr, inputRead = nullptr, inputWrite = nullptr;
    if (!notes || !CreatePipe(&readEnd, &writeEnd, &inherited, 0) ||
        !CreatePipe(&inputRead, &inputWrite, &inherited, static_cast<DWORD>(task.input.size()))) {
        end.why = lastErrorText();
        for (HANDLE handle : {readEnd, writeEnd})
            if (handle) CloseHandle(handle);
        if (notes) UnmapViewOfFile(notes);
        if (section) CloseHandle(section);
        return end;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
    notes->clear();
    // What the child prints, the module's output among it, goes to a file
    // that outlives the child however it ends.
    HANDLE printed = temporaryFile(&inherited);

    std::wstring line;
    appendArgument(line, wide(programPath()));
    for (const std::string& argument : task.arguments) appendArgument(line, wide(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = writeEnd;
    startup.hStdError = printed ? printed : inheritableCopy(GetStdHandle(STD_ERROR_HANDLE));
    wchar_t sectionText[32];
    std::swprintf(sectionText, 32, L"%lu", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(section)));
    SetEnvironmentVariableW(kNotesVariable, sectionText);
    std::fflush(stdout);
    std::fflush(stderr);
    PROCESS_INFORMATION process{};
    const BOOL started = startInJob(line, startup, process);
    const DWORD startError = GetLastError();
    SetEnvironmentVariableW(kNotesVariable, nullptr);
    CloseHandle(writeEnd);
    CloseHandle(inputRead);
    if (startup.hStdError && startup.hStdError != printed) CloseHandle(startup.hStdError);
    if (!started) {
        if (printed) CloseHandle(printed);
        CloseHandle(readEnd);
        CloseHandle(inputWrite);
        UnmapViewOfFile(notes);
        CloseHandle(section);
        end.why = systemText(startError);
        return end;
    }
    CloseHandle(process.hThread);

    // The input is written and the result read while the child runs: a
    // child must not wait on a pipe while the parent waits for it to end.
    // (A child that ends, or is ended, breaks the pipes: neither thread stays.)
    std::thread writer([&] {
        std::size_t done = 0;
        DWORD n = 0;
        while (done < task.input.size() &&
               WriteFile(inputWrite, task.input.data() + done, static_cast<DWORD>(task.input.size() - done), &n, nullptr) &&
               n > 0)
            done += n;
        CloseHandle(inputWrite);
    });
    // The channel closes at the child's end or before its exit-time work;
    // from then on the child has task.exitSeconds to end.
    HANDLE channelClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread reader([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) end.sent.append(buffer, n);
        if (channelClosed) SetEvent(channelClosed);
    });
    const ULONGLONG waitStart = GetTickCount64();
    const double limit = timeoutSeconds * 1000.0;
    Waited waited = waitForChild(process.hProcess, limit, channelClosed);
    if (waited == Waited::ChannelClosed) {
        end.closedChannel = true;
        const double left = std::max(0.0, limit - static_cast<double>(GetTickCount64() - waitStart));
        waited = waitForChild(process.hProcess, task.exitSeconds >= 0 ? std::min(left, task.exitSeconds * 1000.0) : left);
    }
    const bool timedOut = waited == Waited::TimedOut, stopped = waited == Waited::Stopped;
    if (timedOut || stopped) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    reader.join();
    writer.join();
    if (channelClosed) CloseHandle(channelClosed);
    CloseHandle(readEnd);
    if (printed) {
        end.printed = readFrom(printed, 0, ChildEnd::kPrintedKept, end.printedBytes);
        // Read whole, it counts as it reads, each line end one "\n".
        if (end.printedBytes <= ChildEnd::kPrintedKept) end.printedBytes = end.printed.size();
        CloseHandle(printed);
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);

    notes->read(end.note, end.fault);
    end.fault = readableSymbols(end.fault);
    UnmapViewOfFile(notes);
    CloseHandle(section);
    if (stopped) {
        end.how = ChildEnd::How::Stopped;
    } else if (timedOut) {
        end.how = ChildEnd::How::TimedOut;
    } else if ((status & 0xF0000000u) == 0xC0000000u) {
        // An error status: the process ended by an exception.
        end.how = ChildEnd::How::Crashed;
        end.why = exceptionName(status);
    } else {
        end.how = ChildEnd::How::Exited;
        end.exitStatus = static_cast<int>(status);
    }
    return end;
}

void becomeChild(bool (*describeFault)(const void*, char*, std::size_t)) {
    // The result goes to the parent on standard output as it was; whatever
    // the module prints goes to standard error.
    std::fflush(stdout);
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &parentChannel, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    wchar_t sectionText[32];
    if (GetEnvironmentVariableW(kNotesVariable, sectionText, 32) > 0) {
        const auto section = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoul(sectionText, nullptr, 10)));
        childNotes = static_cast<ChildNotes*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(ChildNotes)));
        SetEnvironmentVariableW(kNotesVariable, nullptr);
    }
    faultDescriber = describeFault;
    SetConsoleCtrlHandler(leaveToParent, TRUE);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(noteFault);
}

void sendToParent(const std::string& bytes) {
    HANDLE channel = parentChannel != INVALID_HANDLE_VALUE ? parentChannel : GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(channel, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) || n == 0)
            return;
        done += n;
    }
}

// ---- the module's frees, watched ----
//
// msvcrt hands a block freed twice to the heap, which refuses it without a
// word, or, once the block is someone else's, frees that one. A library's
// imported free is pointed at a wrapper that asks the heaps first.

namespace {

using FreeFunction = void(__cdecl*)(void*);
constexpr int kFreeSlots = 4;  // C runtimes with a free of their own
FreeFunction realFrees[kFreeSlots] = {};

std::atomic<int> misusedFrees{0};
char firstMisuse[600] = "";

bool heldByAHeap(void* block) {
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    for (DWORD i = 0; i < count; ++i)
        if (HeapValidate(heaps[i], 0, block)) return true;
    return false;
}

template <int Slot>
void __cdecl watchedFree(void* block) {
    if (!block || heldByAHeap(block)) {
        realFrees[Slot](block);
        return;
    }
    if (misusedFrees++ == 0) {
        char note[sizeof ChildNotes::text] = "";
        if (childNotes) std::memcpy(note, childNotes->text, sizeof note - 1);
        std::snprintf(firstMisuse, sizeof firstMisuse,
                      "the module freed the block at 0x%08lx, which no heap of the process holds as allocated (freed "
                      "before, or never allocated)%s%s",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block)), *note ? ", during: " : "", note);
    }
}

constexpr FreeFunction kWatchedFrees[kFreeSlots] = {watchedFree<0>, watchedFree<1>, watchedFree<2>, watchedFree<3>};

// The C runtimes whose free is watched: msvcrt and its kin, the universal one.
bool isRuntime(const char* name) {
    for (const char* prefix : {"msvcr", "ucrtbase", "api-ms-win-crt-heap"})
        if (_strnicmp(name, prefix, std::strlen(prefix)) == 0) return true;
    return false;
}

// Points the library's imported free at its wrapper, in its import address
// table; the loader has checked the headers it walks.
void watchFreesOf(HMODULE library) {
    auto* base = reinterpret_cast<uint8_t*>(library);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return;
    const IMAGE_DATA_DIRECTORY imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) return;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
         ++entry) {
        if (!entry->OriginalFirstThunk || !isRuntime(reinterpret_cast<const char*>(base + entry->Name))) continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA32*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "free") != 0) continue;
            const auto real = reinterpret_cast<FreeFunction>(slots->u1.Function);
            int slot = 0;
            while (slot < kFreeSlots && realFrees[slot] && realFrees[slot] != real && kWatchedFrees[slot] != real) ++slot;
            if (slot == kFreeSlots || kWatchedFrees[slot] == real) continue;  // no room, or watched already
            realFrees[slot] = real;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection)) continue;
            slots->u1.Function = reinterpret_cast<uintptr_t>(kWatchedFrees[slot]);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        }
    }
}

} // namespace

void watchLibraryFrees() { watchingFrees = true; }

std::string heapMisuse() {
    std::string found;
    if (const int misused = misusedFrees.exchange(0)) {
        found = firstMisuse;
        if (misused > 1) found += "; and " + std::to_string(misused - 1) + " more such frees";
    }
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    for (DWORD i = 0; i < count; ++i) {
        if (HeapValidate(heaps[i], 0, nullptr)) continue;
        char text[120];
        std::snprintf(text, sizeof text, "the heap at 0x%08lx fails the system's validation (a block or its bounds damaged)",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(heaps[i])));
        found += (found.empty() ? "" : "; ") + std::string(text);
    }
    return found;
}

void setChildNote(const std::string& text) {
    if (childNotes) childNotes->note(text);
}

void endChild(bool exitWork) {
    std::fflush(stdout);
    std::fflush(stderr);
    // Without the exit-time work: not even the DLLs' detach, which ExitProcess runs.
    if (!exitWork) TerminateProcess(GetCurrentProcess(), 0);
    // The parent waits through the exit-time work, as long as it allows.
    if (parentChannel != INVALID_HANDLE_VALUE) CloseHandle(parentChannel);
    parentChannel = INVALID_HANDLE_VALUE;
    std::exit(0);
}

namespace {

std::FILE* ownStream = nullptr;
HANDLE setAside = nullptr;     // the file standard output goes to
std::size_t setAsideRead = 0;  // how much of it takeSetAsideOutput has handed back

} // namespace

void setOutputAside() {
    if (ownStream) return;
    std::fflush(stdout);
    HANDLE file = temporaryFile(nullptr);
    HANDLE reading = nullptr;
    if (!file || !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &reading, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
        if (file) CloseHandle(file);
        return;
    }
    const int original = _dup(_fileno(stdout));
    const int descriptor = original < 0 ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY);
    std::FILE* stream = descriptor < 0 ? nullptr : _fdopen(original, "w");
    if (!stream || _dup2(descriptor, _fileno(stdout)) != 0) {
        if (stream)
            std::fclose(stream);
        else if (original >= 0)
            _close(original);
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
        CloseHandle(reading);
        return;
    }
    _close(descriptor);
    // A module with a C runtime of its own writes to the system's handle.
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    ownStream = stream;
    setAside = reading;
}

std::FILE* ownOutput() { return ownStream ? ownStream : stdout; }

std::string takeSetAsideOutput(std::size_t limit, std::size_t& more) {
    more = 0;
    if (!setAside) return {};
    std::fflush(stdout);
    std::size_t end = 0;
    std::string text = readFrom(setAside, setAsideRead, limit, end);
    // The next write goes on at the end, wherever reading left the position.
    SetFilePointerEx(setAside, LARGE_INTEGER{}, nullptr, FILE_END);
    // Counted in the file's bytes, before their line ends became "\n".
    more = end - setAsideRead - std::min(limit, end - setAsideRead);
    setAsideRead = end;
    return text;
}

// ---- faults caught ----
//
// A vectored handler sees a fault first, on the faulting thread. Under
// runCatchingFaults it notes the fault and resumes the thread in
// resumeAfterFault, on the stack below runCatchingFaults' frame, which jumps
// back into runCatchingFaults; the module's exception handlers in between are
// dropped from the thread's chain, not run.

namespace {

struct FaultCatch {
    void* jump[5];         // for __builtin_setjmp
    void* exceptionList;   // the thread's exception handler chain at the start
    uintptr_t resumeStack = 0;
    DWORD code = 0;
    char where[1024];
};

DWORD catchSlot = TLS_OUT_OF_INDEXES;  // this thread's innermost FaultCatch

bool isHardwareFault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK: return true;
    default: return false;
    }
}

// The head of the thread's exception handler chain, the first word of its
// information block (FS:0 on 32-bit Windows).
void* exceptionList() {
    void* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}
void setExceptionList(void* head) { __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory"); }

[[noreturn]] void resumeAfterFault() {
    auto* caught = static_cast<FaultCatch*>(TlsGetValue(catchSlot));
    setExceptionList(caught->exceptionList);
    __builtin_longjmp(caught->jump, 1);
}

LONG WINAPI onFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    auto* caught = static_cast<FaultCatch*>(TlsGetValue(catchSlot));
    if (!caught || caught->code || !isHardwareFault(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    caught->code = record->ExceptionCode;
    FaultText where(caught->where, sizeof caught->where);
    if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        record->NumberParameters >= 2)
        where.put("at address ").hex(record->ExceptionInformation[1], 8);
    describeCode(reinterpret_cast<uintptr_t>(record->ExceptionAddress), where);
    // As if resumeAfterFault had been called: a return address (none) on the stack.
    *reinterpret_cast<uintptr_t*>(caught->resumeStack) = 0;
    pointers->ContextRecord->Esp = static_cast<DWORD>(caught->resumeStack);
    pointers->ContextRecord->Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&resumeAfterFault));
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Runs `body` with room reserved above it for resumeAfterFault: its own frame,
// which a fault leaves behind.
__attribute__((noinline)) void runBody(FaultCatch& caught, const std::function<void()>& body) {
    volatile char room[512];
    room[0] = 0;
    caught.resumeStack = ((reinterpret_cast<uintptr_t>(&room[256])) & ~uintptr_t{15}) - 4;
    body();
}

} // namespace

std::optional<Fault> runCatchingFaults(const std::function<void()>& body) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        catchSlot = TlsAlloc();
        AddVectoredExceptionHandler(1, onFault);
    });
    if (catchSlot == TLS_OUT_OF_INDEXES) {
        body();
        return std::nullopt;
    }
    FaultCatch caught{};
    caught.exceptionList = exceptionList();
    struct Restore {
        void* outer;
        ~Restore() { TlsSetValue(catchSlot, outer); }
    } restore{TlsGetValue(catchSlot)};
    if (__builtin_setjmp(caught.jump) == 0) {
        TlsSetValue(catchSlot, &caught);
        runBody(caught, body);
        return std::nullopt;
    }
    // The overflow used up the stack's guard page: without a new one the next overflow would end the process.
    if (caught.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    const char* where = caught.where[0] == ' ' ? caught.where + 1 : caught.where;
    return Fault{exceptionName(caught.code), readableSymbols(where)};
}

void endNow(int status) {
    std::fflush(stdout);
    std::fflush(ownOutput());
    std::fflush(stderr);
    // Without the DLLs' detach, which ExitProcess would run.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);
}

} // namespace refhost::platform
