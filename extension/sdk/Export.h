// Symbol visibility of the SDK library. The library is built with hidden
// symbols by default, so everything an application may call is marked here.
#pragma once

#if defined(KVX_SDK_STATIC)
#define KVX_SDK_API
#elif defined(_WIN32)
#if defined(KVX_SDK_BUILDING)
#define KVX_SDK_API __declspec(dllexport)
#else
#define KVX_SDK_API __declspec(dllimport)
#endif
#else
#define KVX_SDK_API __attribute__((visibility("default")))
#endif
