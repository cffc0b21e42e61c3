#pragma once

#include <webkit/webkit.h>

#include <string>

namespace lumetta::host {

/// Pages recognise the application by this name at the end of the user agent.
inline constexpr const char* kUserAgentApplication = "velmar.lumetta(Mac)";

/// Appends kUserAgentApplication to the user agent of `settings`.
inline void appendUserAgentApplication(WebKitSettings* settings) {
    std::string agent =
        std::string(webkit_settings_get_user_agent(settings)) + " " + kUserAgentApplication;
    webkit_settings_set_user_agent(settings, agent.c_str());
}

}  // namespace lumetta::host
