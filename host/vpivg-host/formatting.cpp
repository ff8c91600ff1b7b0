#include "formatting.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <vpivg/vpivg.h>

namespace vpihost {

namespace {

const char* const kCp437High[128] = {
    "Ç", "ü", "é", "â", "ä", "à", "å", "ç", "ê", "ë", "è", "ï", "î", "ì", "Ä", "Å",
    "É", "æ", "Æ", "ô", "ö", "ò", "û", "ù", "ÿ", "Ö", "Ü", "¢", "£", "¥", "₧", "ƒ",
    "á", "í", "ó", "ú", "ñ", "Ñ", "ª", "º", "¿", "⌐", "¬", "½", "¼", "¡", "«", "»",
    "░", "▒", "▓", "│", "┤", "╡", "╢", "╖", "╕", "╣", "║", "╗", "╝", "╜", "╛", "┐",
    "└", "┴", "┬", "├", "─", "┼", "╞", "╟", "╚", "╔", "╩", "╦", "╠", "═", "╬", "╧",
    "╨", "╤", "╥", "╙", "╘", "╒", "╓", "╫", "╪", "┘", "┌", "█", "▄", "▌", "▐", "▀",
    "α", "ß", "Γ", "π", "Σ", "σ", "µ", "τ", "Φ", "Θ", "Ω", "δ", "∞", "φ", "ε", "∩",
    "≡", "±", "≥", "≤", "⌠", "⌡", "÷", "≈", "°", "∙", "·", "√", "ⁿ", "²", "■", "\xc2\xa0",
};

}  // namespace

std::string Cp437ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) out += static_cast<char>(c);
        else out += kCp437High[c - 0x80];
    }
    return out;
}

std::string FormatGateValue(double value, int gateType) {
    char text[64];
    if (gateType != GateTypeReal && std::isfinite(value) && value == std::trunc(value) &&
        std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    // The driver writes reals as widened floats; the float's shortest text is what the
    // instrument printed.
    float single = static_cast<float>(value);
    if (static_cast<double>(single) == value) {
        auto result = std::to_chars(text, text + sizeof text, single);
        return std::string(text, result.ptr);
    }
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string EscapeBytes(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string FitWidth(std::string_view line, int columns) {
    std::string out;
    int shown = 0;
    for (std::size_t i = 0; i < line.size();) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == 0x1b && i + 1 < line.size() && line[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < line.size() && !(line[end] >= 0x40 && line[end] <= 0x7e)) ++end;
            end = end < line.size() ? end + 1 : end;
            out.append(line.substr(i, end - i));
            i = end;
            continue;
        }
        std::size_t length = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        if (shown >= columns) {
            ++i;
            continue;  // keep scanning for escapes (a colour reset at the end must survive)
        }
        out.append(line.substr(i, length));
        ++shown;
        i += length;
    }
    return out;
}

}  // namespace vpihost
