#pragma once

#include <stdexcept>
#include <string>

namespace b2d {

// Raised by the picture readers with a fixed English message such as "JPEG loading error".
class PictureFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace b2d
