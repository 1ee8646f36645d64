// The configurator's own failures that a handler may let through to the general error handler,
// which shows their text in the error box.
#pragma once

#include <stdexcept>
#include <string>

class ConfiguratorError : public std::runtime_error {
public:
    explicit ConfiguratorError(const std::string &utf8Text) : std::runtime_error(utf8Text) {}
};
