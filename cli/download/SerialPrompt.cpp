#include "download/SerialPrompt.h"

#include "download/ConsoleQuestion.h"

std::string SerialRefusedLine(TSerialProblem problem) {
    switch (problem) {
    case TSerialProblem::Control:
        return "Номер не принят: в нём табуляция или другой управляющий символ";
    case TSerialProblem::TooLong:
        return "Номер не принят: в нём больше " + std::to_string(kSerialMostCharacters) + " символов";
    default:
        return "Номер не принят: это не текст";
    }
}

std::optional<std::string> AskSerial(const TLineReader& read, std::string_view firstLines) {
    std::string before(firstLines);
    for (;;) {
        const std::optional<std::string> line = read(before + std::string(kSerialPrompt));
        if (!line || IsEndOfInput(*line)) return std::nullopt;
        const std::string_view serial = TrimmedSerial(*line);
        const TSerialProblem problem = SerialProblem(serial);
        if (problem == TSerialProblem::None) return std::string(serial);
        before = problem == TSerialProblem::Empty ? "" : SerialRefusedLine(problem) + "\n";
    }
}
