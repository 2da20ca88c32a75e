// fwimage's usage lines and its help.
#pragma once

extern const char* const kUsageText;
// The help is this, the usage lines and kHelpBody.
extern const char* const kHelpHead;
extern const char* const kHelpBody;
