// Symbol visibility of the host framework's interface.
//
// The plug-in is built with hidden visibility, yet it must reference the host's classes and
// functions, which the host process defines. Everything the host exports is therefore marked
// with default visibility in these headers.
#pragma once

#define QRM_HOST_API __attribute__((visibility("default")))
