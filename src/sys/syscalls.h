#pragma once
// The table of every Windows function that the worker calls. Production code calls
// sys::calls.Name(...) and never changes the table; a test swaps one entry for its own
// length with sys::Override to make Windows answer what it rarely or never does here.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <sfc.h>

#include <type_traits>

namespace sys {

struct Calls {
    // text, errors, time
    decltype(&::FormatMessageW) FormatMessageW = ::FormatMessageW;
    decltype(&::MultiByteToWideChar) MultiByteToWideChar = ::MultiByteToWideChar;
    decltype(&::WideCharToMultiByte) WideCharToMultiByte = ::WideCharToMultiByte;
    decltype(&::GetSystemTime) GetSystemTime = ::GetSystemTime;
    decltype(&::SystemTimeToFileTime) SystemTimeToFileTime = ::SystemTimeToFileTime;
    // files and directories
    decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::ReadFile) ReadFile = ::ReadFile;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::SetFilePointerEx) SetFilePointerEx = ::SetFilePointerEx;
    decltype(&::DeleteFileW) DeleteFileW = ::DeleteFileW;
    decltype(&::GetFileAttributesW) GetFileAttributesW = ::GetFileAttributesW;
    decltype(&::MoveFileExW) MoveFileExW = ::MoveFileExW;
    decltype(&::CreateDirectoryW) CreateDirectoryW = ::CreateDirectoryW;
    decltype(&::GetFullPathNameW) GetFullPathNameW = ::GetFullPathNameW;
    decltype(&::FindFirstFileW) FindFirstFileW = ::FindFirstFileW;
    decltype(&::FindClose) FindClose = ::FindClose;
    // restored files: length, compression, time stamps, attributes
    decltype(&::SetFilePointer) SetFilePointer = ::SetFilePointer;
    decltype(&::SetEndOfFile) SetEndOfFile = ::SetEndOfFile;
    decltype(&::DeviceIoControl) DeviceIoControl = ::DeviceIoControl;
    decltype(&::SetFileTime) SetFileTime = ::SetFileTime;
    decltype(&::SetFileAttributesW) SetFileAttributesW = ::SetFileAttributesW;
    // system information
    decltype(&::GetVersionExW) GetVersionExW = ::GetVersionExW;
    decltype(&::GetSystemInfo) GetSystemInfo = ::GetSystemInfo;
    // registry
    decltype(&::RegOpenKeyExW) RegOpenKeyExW = ::RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW = ::RegCreateKeyExW;
    decltype(&::RegCloseKey) RegCloseKey = ::RegCloseKey;
    decltype(&::RegEnumKeyExW) RegEnumKeyExW = ::RegEnumKeyExW;
    decltype(&::RegEnumValueW) RegEnumValueW = ::RegEnumValueW;
    decltype(&::RegQueryValueExW) RegQueryValueExW = ::RegQueryValueExW;
    decltype(&::RegSetValueExW) RegSetValueExW = ::RegSetValueExW;
    decltype(&::RegDeleteValueW) RegDeleteValueW = ::RegDeleteValueW;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW = ::RegDeleteKeyW;
    decltype(&::RegFlushKey) RegFlushKey = ::RegFlushKey;
    decltype(&::RegLoadKeyW) RegLoadKeyW = ::RegLoadKeyW;
    decltype(&::RegUnLoadKeyW) RegUnLoadKeyW = ::RegUnLoadKeyW;
    // privileges
    decltype(&::OpenProcessToken) OpenProcessToken = ::OpenProcessToken;
    decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW = ::LookupPrivilegeValueW;
    decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges = ::AdjustTokenPrivileges;
    // devices and protected files
    decltype(&::QueryDosDeviceW) QueryDosDeviceW = ::QueryDosDeviceW;
    decltype(&::LCMapStringW) LCMapStringW = ::LCMapStringW;
    decltype(&::SfcIsFileProtected) SfcIsFileProtected = ::SfcIsFileProtected;
    // waiting, overlapped pipe I/O, standard handles
    decltype(&::SetLastError) SetLastError = ::SetLastError;
    decltype(&::SleepEx) SleepEx = ::SleepEx;
    decltype(&::WaitForMultipleObjectsEx) WaitForMultipleObjectsEx = ::WaitForMultipleObjectsEx;
    decltype(&::ReadFileEx) ReadFileEx = ::ReadFileEx;
    decltype(&::WriteFileEx) WriteFileEx = ::WriteFileEx;
    decltype(&::CancelIo) CancelIo = ::CancelIo;
    decltype(&::GetStdHandle) GetStdHandle = ::GetStdHandle;
    decltype(&::CreateNamedPipeW) CreateNamedPipeW = ::CreateNamedPipeW;
    decltype(&::CreateEventW) CreateEventW = ::CreateEventW;
    decltype(&::GetOverlappedResult) GetOverlappedResult = ::GetOverlappedResult;
    // a child process on the parent's pipes
    decltype(&::SetHandleInformation) SetHandleInformation = ::SetHandleInformation;
    decltype(&::CreateProcessW) CreateProcessW = ::CreateProcessW;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess = ::GetExitCodeProcess;
    // security descriptors, owners and access lists
    decltype(&::LocalFree) LocalFree = ::LocalFree;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)
        ConvertStringSecurityDescriptorToSecurityDescriptorW = ::ConvertStringSecurityDescriptorToSecurityDescriptorW;
    decltype(&::ConvertSecurityDescriptorToStringSecurityDescriptorW)
        ConvertSecurityDescriptorToStringSecurityDescriptorW = ::ConvertSecurityDescriptorToStringSecurityDescriptorW;
    decltype(&::GetSecurityDescriptorOwner) GetSecurityDescriptorOwner = ::GetSecurityDescriptorOwner;
    decltype(&::GetSecurityDescriptorGroup) GetSecurityDescriptorGroup = ::GetSecurityDescriptorGroup;
    decltype(&::GetSecurityDescriptorDacl) GetSecurityDescriptorDacl = ::GetSecurityDescriptorDacl;
    decltype(&::GetSecurityDescriptorSacl) GetSecurityDescriptorSacl = ::GetSecurityDescriptorSacl;
    decltype(&::GetNamedSecurityInfoW) GetNamedSecurityInfoW = ::GetNamedSecurityInfoW;
    decltype(&::SetNamedSecurityInfoW) SetNamedSecurityInfoW = ::SetNamedSecurityInfoW;
    decltype(&::LookupAccountNameW) LookupAccountNameW = ::LookupAccountNameW;
    decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor = ::InitializeSecurityDescriptor;
    decltype(&::SetSecurityDescriptorOwner) SetSecurityDescriptorOwner = ::SetSecurityDescriptorOwner;
    decltype(&::SetFileSecurityW) SetFileSecurityW = ::SetFileSecurityW;
    // the event log
    decltype(&::RegisterEventSourceW) RegisterEventSourceW = ::RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW = ::ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource = ::DeregisterEventSource;
    // the SYSTEM hive's backing file at the next boot, and the machine-wide hive step lock
    decltype(&::RegReplaceKeyW) RegReplaceKeyW = ::RegReplaceKeyW;
    decltype(&::CreateMutexW) CreateMutexW = ::CreateMutexW;
    decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
    decltype(&::ReleaseMutex) ReleaseMutex = ::ReleaseMutex;
    // crash handlers: the executable's path, dbghelp loaded at run time, the process's
    // identity, the unhandled-exception filter and the message box without a report sink
    decltype(&::GetModuleFileNameW) GetModuleFileNameW = ::GetModuleFileNameW;
    decltype(&::LoadLibraryW) LoadLibraryW = ::LoadLibraryW;
    decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
    decltype(&::FreeLibrary) FreeLibrary = ::FreeLibrary;
    decltype(&::GetCurrentProcess) GetCurrentProcess = ::GetCurrentProcess;
    decltype(&::GetCurrentProcessId) GetCurrentProcessId = ::GetCurrentProcessId;
    decltype(&::GetCurrentThreadId) GetCurrentThreadId = ::GetCurrentThreadId;
    decltype(&::SetUnhandledExceptionFilter) SetUnhandledExceptionFilter = ::SetUnhandledExceptionFilter;
    decltype(&::RaiseException) RaiseException = ::RaiseException;
    decltype(&::MessageBoxW) MessageBoxW = ::MessageBoxW;
    decltype(&::SetThreadStackGuarantee) SetThreadStackGuarantee = ::SetThreadStackGuarantee;
    decltype(&::AddVectoredExceptionHandler) AddVectoredExceptionHandler = ::AddVectoredExceptionHandler;
    decltype(&::CreateThread) CreateThread = ::CreateThread;
    decltype(&::TerminateProcess) TerminateProcess = ::TerminateProcess;
};

extern Calls calls;

// Replaces one entry of the table until the end of the scope.
//   sys::Override guard(sys::calls.DeleteFileW, +[](LPCWSTR) -> BOOL { ... });
template <class F>
class Override {
public:
    Override(F& slot, std::type_identity_t<F> replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~Override() { slot_ = saved_; }
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

private:
    F& slot_;
    F saved_;
};

} // namespace sys
