#include "app/mute/LocalizedText.h"

#include <cctype>

#include "platform/bundle/NSBundle.h"

std::string localizedText(const std::string& key, const std::string& defaultText) {
    return NSBundle::mainBundle()->localizedStringForKey(key, defaultText, "");
}

std::string fillPlaceholders(const std::string& format, const std::vector<std::string>& arguments) {
    std::string out;
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            ++i;
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        if (format[i + 1] == '@') {
            if (next < arguments.size()) {
                out += arguments[next++];
            } else {
                out += "%@";
            }
            i += 2;
            continue;
        }
        // "%n$@": a positional argument.
        std::size_t j = i + 1;
        std::size_t position = 0;
        while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])) &&
               position < 1000) {
            position = position * 10 + static_cast<std::size_t>(format[j] - '0');
            ++j;
        }
        if (j > i + 1 && j + 1 < format.size() && format[j] == '$' && format[j + 1] == '@' &&
            position >= 1 && position <= arguments.size()) {
            out += arguments[position - 1];
            i = j + 2;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}
