#include "runtime/Display.h"

#include <new>

#include "runtime/Exceptions.h"

namespace rt {

std::string FailureDisplayText(const std::string& message) {
    if (message.empty()) return message;
    const auto last = static_cast<unsigned char>(message.back());
    // A UTF-8 sequence ends in a continuation byte (>= 0x80), itself above ".".
    if (last > 0x2E) return message + ".";
    return message;
}

std::string FailureMessage(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::bad_alloc&) {
        return EOutOfMemory().Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown failure";
    }
}

}  // namespace rt
