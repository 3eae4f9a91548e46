// Named shared memory on Windows: file mappings on the paging file. Twin of
// posix/SharedMemory.cpp.
#include "os/SharedMemory.h"

#include <aclapi.h>
#include <sddl.h>

#include "os/ErrorText.h"

namespace kw::os {

SharedMemoryHandle sharedMemoryCreate(const wchar_t* name, std::size_t size) {
  return static_cast<SharedMemoryHandle>(CreateFileMappingW(
      INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name));
}

void* sharedMemoryMap(SharedMemoryHandle memory, std::size_t size) {
  return MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, size);
}

void sharedMemoryUnmap(void* view) { UnmapViewOfFile(view); }

void sharedMemoryClose(SharedMemoryHandle memory) { CloseHandle(memory); }

std::wstring namedObjectRefusal() { return std::wstring(); }

LabelFailure lowerIntegrity(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return LabelFailure::Descriptor;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  LabelFailure failure = LabelFailure::None;
  if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted)) {
    failure = LabelFailure::Sacl;
  } else if (!succeeded(static_cast<int>(SetSecurityInfo(object, SE_KERNEL_OBJECT,
                                                         LABEL_SECURITY_INFORMATION, nullptr,
                                                         nullptr, nullptr, sacl)))) {
    failure = LabelFailure::SetInfo;
  }
  keepingLastError([&] { LocalFree(descriptor); });
  return failure;
}

}  // namespace kw::os
