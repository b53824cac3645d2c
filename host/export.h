#pragma once

// Symbols of the host layer are visible to the plug-ins and the command-line
// host that link it; everything else in a plug-in stays hidden.
#if defined(_WIN32)
#if defined(VESKAR_HOST_BUILD)
#define HOST_API __declspec(dllexport)
#else
#define HOST_API __declspec(dllimport)
#endif
#else
#define HOST_API __attribute__((visibility("default")))
#endif
