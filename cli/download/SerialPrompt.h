// --ask-serial: each unit's serial scanned or typed on the console before
// the unit starts. The asking is portable; the console's reading is not.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "download/UnitSerial.h"

inline constexpr std::string_view kSerialPrompt =
    "Отсканируйте или введите серийный номер прибора и нажмите Enter; Ctrl+C — закончить: ";

// Shows its text and returns the line then typed, with its line end; none
// when the read was cut (Ctrl+C, the console gone).
using TLineReader = std::function<std::optional<std::string>(std::string_view text)>;

// Why a typed serial is refused, before the prompt comes again.
std::string SerialRefusedLine(TSerialProblem problem);

// Asks until a serial that can be recorded is typed, and returns it trimmed:
// firstLines (each with its line end) come before the first prompt, a
// refusal's line before the next; an empty line asks again. None when the
// read was cut or the line ends the input (Ctrl+Z).
std::optional<std::string> AskSerial(const TLineReader& read, std::string_view firstLines);
