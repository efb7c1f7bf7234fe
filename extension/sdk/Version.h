// The SDK's version. The build reads the package version from these lines,
// so this header is the one place to change it; an application can test it
// at compile time (#if KVX_SDK_VERSION >= 10100 ...).
#pragma once

#define KVX_SDK_VERSION_MAJOR 1
#define KVX_SDK_VERSION_MINOR 3
#define KVX_SDK_VERSION_PATCH 0
#define KVX_SDK_VERSION_STRING "1.3.0"
// MAJOR * 10000 + MINOR * 100 + PATCH.
#define KVX_SDK_VERSION (KVX_SDK_VERSION_MAJOR * 10000 + KVX_SDK_VERSION_MINOR * 100 + KVX_SDK_VERSION_PATCH)
