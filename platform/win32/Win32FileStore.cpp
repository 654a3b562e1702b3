#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <string>

#include "platform/FileStore.h"
#include "platform/System.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// A security descriptor that lets the current user alone at the file;
// null when it cannot be made (the file then gets the folder's defaults).
PSECURITY_DESCRIPTOR ownerOnlyDescriptor() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (size && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        char* sid = nullptr;
        if (::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            // Protected: no entries inherited from the folder.
            const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
            ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
            ::LocalFree(sid);
        }
    }
    ::CloseHandle(token);
    return descriptor;
}

// Gives `file` the access list of the file at `from`, so that a replaced
// file keeps who may read and write it.
void copyAccess(const std::string& from, HANDLE file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(wideText(from).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    if (::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED))
        what |= PROTECTED_DACL_SECURITY_INFORMATION;
    ::SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
}

}  // namespace

bool copyFileAccess(const std::string& from, const std::string& to) {
    const HANDLE file = ::CreateFileW(wideText(to).c_str(), READ_CONTROL | WRITE_DAC,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    copyAccess(from, file);
    ::CloseHandle(file);
    return true;
}

FileRead readWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    HANDLE file =
        ::CreateFileW(wideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::missing : FileRead::failed;
    }
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
            ::CloseHandle(file);
            bytes.clear();
            return FileRead::failed;
        }
        if (n == 0) break;
        bytes.append(buffer, n);
    }
    ::CloseHandle(file);
    return FileRead::ok;
}

bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access) {
    std::string reason;
    return replaceWholeFile(path, bytes, access, reason);
}

bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "not a regular file";
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
        reason = "the file is read-only";
        return false;
    }
    if (exists) {
        // A file we may not write to stays as it is, as with an in-place write.
        HANDLE probe =
            ::CreateFileW(wideText(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            reason = errorText(static_cast<int>(::GetLastError()));
            return false;
        }
        ::CloseHandle(probe);
    }

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!exists && access == NewFileAccess::ownerOnly) {
        descriptor = ownerOnlyDescriptor();
        security.lpSecurityDescriptor = descriptor;
    }

    static std::atomic<unsigned> counter{0};
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
        file = ::CreateFileW(wideText(temporary).c_str(), GENERIC_WRITE | WRITE_DAC, 0,
                             descriptor ? &security : nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    const DWORD createError = ::GetLastError();
    if (descriptor) ::LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        reason = errorText(static_cast<int>(createError));
        return false;
    }

    if (exists) copyAccess(path, file);
    DWORD error = 0;
    auto failed = [&error] {
        if (error == 0) error = ::GetLastError();
        return false;
    };
    bool ok = (writeAll(file, bytes) && ::FlushFileBuffers(file)) || failed();
    ok = (::CloseHandle(file) || failed()) && ok;
    ok = ok && (::MoveFileExW(wideText(temporary).c_str(), wideText(path).c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
                failed());
    if (!ok) {
        ::DeleteFileW(wideText(temporary).c_str());
        reason = errorText(static_cast<int>(error));
        return false;
    }
    return true;
}

// The accounts that may always reach a file on Windows whatever its access
// list says: the system itself and the administrators. They do not count
// as "others".
bool alwaysPermitted(PSID sid) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, administrators = nullptr;
    bool result = false;
    if (::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
        result = ::EqualSid(sid, system);
        ::FreeSid(system);
    }
    if (!result && ::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                              0, 0, &administrators)) {
        result = ::EqualSid(sid, administrators);
        ::FreeSid(administrators);
    }
    return result;
}

// The SID of the account this process runs as, kept in `buffer`; null when
// it cannot be read.
PSID currentUser(std::string& buffer) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer.assign(size, '\0');
    const bool ok = size && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    ::CloseHandle(token);
    return ok ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
}

// "Owner rights" (S-1-3-4): an entry for whoever owns the file.
bool isOwnerRights(PSID sid) {
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    PSID ownerRights = nullptr;
    if (!::AllocateAndInitializeSid(&creator, 1, 4, 0, 0, 0, 0, 0, 0, 0, &ownerRights)) return false;
    const bool result = ::EqualSid(sid, ownerRights);
    ::FreeSid(ownerRights);
    return result;
}

bool readableByOthers(const std::string& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetFileAttributesW(wideText(path).c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    if (::GetNamedSecurityInfoW(wideText(path).c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl, nullptr,
                                &descriptor) != ERROR_SUCCESS)
        return false;
    // A file without a recorded owner belongs to whoever runs this program.
    std::string userBuffer;
    if (!owner || !::IsValidSid(owner)) owner = currentUser(userBuffer);
    // No access list at all lets everybody in.
    bool readable = dacl == nullptr;
    constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    for (DWORD i = 0; !readable && dacl && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kRead) && !(owner && ::EqualSid(sid, owner)) && !isOwnerRights(sid) &&
            !alwaysPermitted(sid))
            readable = true;
    }
    ::LocalFree(descriptor);
    return readable;
}

bool restrictToOwner(const std::string& path) {
    if (::GetFileAttributesW(wideText(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (!readableByOthers(path)) return true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    if (::GetNamedSecurityInfoW(wideText(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                nullptr, nullptr, &current) != ERROR_SUCCESS)
        return false;
    std::string userBuffer;
    if (!owner || !::IsValidSid(owner)) owner = currentUser(userBuffer);
    bool ok = false;
    char* sid = nullptr;
    if (owner && ::ConvertSidToStringSidA(owner, &sid)) {
        // Protected: nothing inherited from the folder any more; the owner,
        // and the system keep full access (administrators can always take
        // the file over).
        const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")(A;;FA;;;SY)";
        PSECURITY_DESCRIPTOR wanted = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &wanted, nullptr)) {
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = nullptr;
            if (::GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted) && present) {
                std::wstring name = wideText(path);
                ok = ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, dacl, nullptr) == ERROR_SUCCESS;
            }
            ::LocalFree(wanted);
        }
        ::LocalFree(sid);
    }
    ::LocalFree(current);
    return ok && !readableByOthers(path);
}

std::FILE* openFile(const std::string& path, const char* mode) {
    return ::_wfopen(wideText(path).c_str(), wideText(mode).c_str());
}

std::uint64_t fileIdentity(const std::string& path) {
    // Opened for nothing but its attributes, shared every way, so a writer
    // or a rename is never in the way.
    const HANDLE file = ::CreateFileW(wideText(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(file, &info) != 0;
    ::CloseHandle(file);
    if (!known) return 0;
    const std::uint64_t index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return (static_cast<std::uint64_t>(info.dwVolumeSerialNumber) << 40) ^ index;
}

}  // namespace platform
