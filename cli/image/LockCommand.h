// fwimage lock: FILE.lock made beside FILE with a key typed as the window's
// key box takes it.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "image/CommandImage.h"

// A key whose steps cancel out: the .lock would equal the image.
class EKeyChangesNothing : public ECommandError {
public:
    using ECommandError::ECommandError;
};

// Why keyText is not a key as fwimage takes it (exactly 16 hexadecimal digits
// besides blanks), in a few words; none when it is. Stricter than the key
// box, which ignores what follows the 16th character: on a command line a
// longer key is a mistake, not a typing habit.
std::optional<std::string> KeyTextFault(std::string_view keyText);

// Locks fileName with the key and tells the .lock file's full path on out.
void Lock(const std::string& fileName, const std::string& keyText, std::ostream& out);
