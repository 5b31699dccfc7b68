// SPDX-License-Identifier: MIT
// Resource ids shared between the resources and the code, and the resources' own texts.
#pragma once

// The main window: dialog template 102.
constexpr int IDD_CHIMELY_DIALOG = 102;
constexpr const char* kMainDialogCaption = "Vantorell Chimely 1.1";
