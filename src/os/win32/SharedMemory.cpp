#include "os/SharedMemory.h"

#include <aclapi.h>
#include <sddl.h>

namespace kw::os {

HANDLE sharedMemoryCreate(const wchar_t* name, std::size_t size) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                            static_cast<DWORD>(size), name);
}

void* sharedMemoryMap(HANDLE memory, std::size_t size) {
  return MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, size);
}

void sharedMemoryUnmap(void* view) { UnmapViewOfFile(view); }

void sharedMemoryClose(HANDLE memory) { CloseHandle(memory); }

LabelFailure lowerIntegrity(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return LabelFailure::Descriptor;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted)) {
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return LabelFailure::Sacl;
  }
  DWORD result = SetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                                 nullptr, nullptr, sacl);
  LocalFree(descriptor);
  if (result != ERROR_SUCCESS) {
    SetLastError(result);
    return LabelFailure::SetInfo;
  }
  return LabelFailure::None;
}

}  // namespace kw::os
