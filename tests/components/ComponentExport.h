// What the installer needs of a component: C names, exported, a 32-bit
// status.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KW_COMPONENT_EXPORT extern "C" __declspec(dllexport)
#else
#define KW_COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// E_FAIL, as the negative status it is.
inline constexpr std::int32_t kComponentFailure = static_cast<std::int32_t>(0x80004005u);
