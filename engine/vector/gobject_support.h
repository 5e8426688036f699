#pragma once

// The GLib side of the libraries that draw SVG and XPS: an object reference
// released with its scope, and an error's text as one line.

#include <algorithm>
#include <glib-object.h>
#include <string>

struct GObjectRef {
    gpointer object = nullptr;
    explicit GObjectRef(gpointer owned) : object(owned) {}
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    ~GObjectRef()
    {
        if (object != nullptr)
            g_object_unref(object);
    }
};

// The error's message (or fallback) on one line; the error is freed.
inline std::string Reason(GError* error, const char* fallback)
{
    std::string reason = error != nullptr && error->message != nullptr ? error->message : fallback;
    if (error != nullptr)
        g_error_free(error);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
        reason.pop_back();
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    return reason;
}
