#pragma once

#include <string>

namespace veltora {

// Turns a formatted line into the bytes written to a log file: UTF-8 text.
class DDFileLogPlainTextMessageSerializer {
public:
    // Bytes that are not valid UTF-8 become U+FFFD, so that a log file stays
    // readable text whatever a message carried (a server's answer, a path).
    std::string dataForString(std::string text) const;
    // True when the bytes of the text are its data as they are (plain ASCII).
    static bool isPlainText(const std::string& text);
};

} // namespace veltora
