#include "ScpiErrors.h"

#include <iterator>

namespace scpi {
namespace {

// "No error" first; the rest from the most negative number up.
constexpr ErrorInfo kErrors[] = {
    {Error::None, "No error"},
    {Error::InputOverrun, "Input buffer overrun"},
    {Error::QueueOverflow, "Queue overflow"},
    {Error::HardwareMissing, "Hardware missing"},
    {Error::Hardware, "Hardware error"},
    {Error::IllegalValue, "Illegal parameter value"},
    {Error::OutOfRange, "Data out of range"},
    {Error::Protected, "Command protected"},
    {Error::InvalidSuffix, "Invalid suffix"},
    {Error::HeaderSuffix, "Header suffix out of range"},
    {Error::UndefinedHeader, "Undefined header"},
    {Error::MissingParameter, "Missing parameter"},
    {Error::ParameterNotAllowed, "Parameter not allowed"},
    {Error::DataType, "Data type error"},
    {Error::Syntax, "Syntax error"},
    {Error::Command, "Command error"},
};

}  // namespace

std::span<const ErrorInfo> AllErrors() {
    return {std::begin(kErrors) + 1, std::end(kErrors)};
}

const char* ErrorText(Error error) {
    for (const ErrorInfo& row : kErrors) {
        if (row.error == error) {
            return row.text;
        }
    }
    return "Command error";
}

std::uint8_t EsrBitOf(Error error) {
    switch (-static_cast<int>(error) / 100) {
        case 1:
            return kEsrCommandError;
        case 2:
            return kEsrExecutionError;
        case 3:
            return kEsrDeviceError;
        case 4:
            return kEsrQueryError;
        default:
            return 0;
    }
}

}  // namespace scpi
