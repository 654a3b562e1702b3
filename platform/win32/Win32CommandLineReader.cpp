#include "platform/win32/Win32CommandLineReader.h"

#include "platform/win32/Win32WideText.h"

#include <winternl.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/ErrorLog.h"

namespace platform {
namespace {

using QueryInformationProcess = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;

// Where the command line sits in each layout: the environment block's
// pointer to the process parameters, and the UNICODE_STRING of the command
// line inside them (Length, MaximumLength, then the buffer pointer, aligned
// to the pointer size).
struct Layout {
    std::size_t parametersOffset;   // in the environment block
    std::size_t pointerSize;
    std::size_t commandLineOffset;  // in the process parameters
    std::size_t bufferOffset;       // of the buffer pointer, in the process parameters
};
constexpr Layout kLayout32{0x10, 4, 0x40, 0x44};
constexpr Layout kLayout64{0x20, 8, 0x70, 0x78};

// Looked up once; while the lookup fails it is tried again at each call.
std::atomic<QueryInformationProcess> g_query{nullptr};

QueryInformationProcess queryFunction() {
    if (QueryInformationProcess query = g_query.load()) return query;
    HMODULE ntdll = ::GetModuleHandleA("ntdll");
    auto query = ntdll ? reinterpret_cast<QueryInformationProcess>(
                             reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationProcess")))
                       : nullptr;
    if (!query) {
        reportError("get function NtQueryInformationProcess from ntdll error\n");
        return nullptr;
    }
    g_query.store(query);
    return query;
}

bool readMemory(HANDLE process, std::uint64_t address, void* into, std::size_t size) {
    if (address == 0 || address > UINTPTR_MAX) return false;
    SIZE_T done = 0;
    return ::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)), into, size,
                               &done) &&
           done == size;
}

std::uint64_t pointerAt(const unsigned char* bytes, std::size_t offset, std::size_t size) {
    if (size == 4) {
        std::uint32_t value;
        std::memcpy(&value, bytes + offset, 4);
        return value;
    }
    std::uint64_t value;
    std::memcpy(&value, bytes + offset, 8);
    return value;
}

bool readWith(HANDLE process, std::uint64_t environmentBlock, const Layout& layout, std::wstring& text) {
    unsigned char block[0x40] = {};
    if (!readMemory(process, environmentBlock, block, layout.parametersOffset + layout.pointerSize)) return false;
    const std::uint64_t parameters = pointerAt(block, layout.parametersOffset, layout.pointerSize);
    unsigned char params[0x80] = {};
    if (!readMemory(process, parameters, params, layout.bufferOffset + layout.pointerSize)) return false;
    std::uint16_t length = 0;
    std::memcpy(&length, params + layout.commandLineOffset, 2);
    const std::uint64_t buffer = pointerAt(params, layout.bufferOffset, layout.pointerSize);
    text.assign(length / 2, L'\0');
    if (length == 0) return true;
    return readMemory(process, buffer, text.data(), text.size() * sizeof(wchar_t));
}

}  // namespace

bool Win32CommandLineReader::read(DWORD pid, std::wstring& commandLine) {
    const QueryInformationProcess query = queryFunction();
    if (!query) return false;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return false;
    bool ok = false;
    std::wstring text;
    // A WOW64 process has a 32-bit environment block of its own, which is
    // the one its 32-bit code (and so its command line) uses.
    ULONG_PTR wow64Block = 0;
    if (sizeof(void*) == 8 &&
        query(process, kProcessWow64Information, &wow64Block, sizeof wow64Block, nullptr) == 0 && wow64Block != 0) {
        ok = readWith(process, wow64Block, kLayout32, text);
    } else {
        PROCESS_BASIC_INFORMATION basic{};
        if (query(process, kProcessBasicInformation, &basic, sizeof basic, nullptr) == 0)
            ok = readWith(process, reinterpret_cast<std::uintptr_t>(basic.PebBaseAddress),
                          sizeof(void*) == 8 ? kLayout64 : kLayout32, text);
    }
    ::CloseHandle(process);
    if (ok) commandLine = std::move(text);
    return ok;
}

std::string Win32CommandLineReader::toUtf8(const std::wstring& text) {
    // The system's text ends at its first NUL, as the original reader saw it.
    return utf8FromWide(std::wstring_view(text).substr(0, text.find(L'\0')));
}

bool Win32CommandLineReader::readUtf8(DWORD pid, std::string& commandLine) {
    std::wstring text;
    if (!read(pid, text)) return false;
    commandLine = toUtf8(text);
    return true;
}

}  // namespace platform
