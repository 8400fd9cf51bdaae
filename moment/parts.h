// The definitions of the module body, one function per concept file, in the order the body
// runs them (truncate_string is defined in module.cpp itself).
#pragma once

#include "qyb/toolkit.h"

namespace moment {

void define_file_dialog(qyb::Part& p);      // WinOpenUI
void define_privacy_config(qyb::Part& p);   // PrivacyConfig (publish.cpp)
void define_window(qyb::Part& p);           // MomentsWnd
void define_audience_picker(qyb::Part& p);  // SessionPickerWindow
void define_post(qyb::Part& p);             // Moments

// Methods of MomentsWnd defined beside their concept.
qyb::FunctionDef get_moments_def();          // feed.cpp
qyb::FunctionDef publish_def(qyb::Part& p);  // publish.cpp

}  // namespace moment
