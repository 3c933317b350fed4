#include "splash/text_fit.h"

namespace zelk {
namespace {

constexpr int kMostTries = 25;  // from the proportional guess to 80 %, a percent each
constexpr float kStep = 0.99f;

}  // namespace

TextFit FitText(float size, float available, const std::function<float(float size)>& widthAt) {
    const float width = widthAt(size);
    if (width <= available) {
        return {size, false};
    }
    const float smallest = size * kSmallestTextScale;
    // Widths grow about in proportion to the size; kerning and hinting make the guess
    // a little off either way, so it is checked, then lowered while it is too wide.
    float candidate = width > 0.0f ? size * available / width : smallest;
    for (int tries = 0; tries < kMostTries && candidate > smallest; ++tries) {
        if (candidate < size && widthAt(candidate) <= available) {
            return {candidate, false};
        }
        candidate *= kStep;
    }
    return {smallest, widthAt(smallest) > available};
}

std::wstring CutWithEllipsis(const std::wstring& text, float available,
                             const std::function<float(const std::wstring& text)>& widthOf) {
    const auto cut = [&text](size_t length) {
        // Never half a character: a high surrogate goes with its pair.
        if (length > 0 && length < text.size() && text[length - 1] >= 0xD800 &&
            text[length - 1] <= 0xDBFF) {
            --length;
        }
        std::wstring shown = text.substr(0, length);
        while (!shown.empty() && shown.back() == L' ') {
            shown.pop_back();
        }
        return shown + L"\u2026";
    };
    // Widths grow with the length: the longest that fits, by halves.
    size_t fits = 0, tooLong = text.size() + 1;
    while (tooLong - fits > 1) {
        const size_t middle = fits + (tooLong - fits) / 2;
        if (widthOf(cut(middle)) <= available) {
            fits = middle;
        } else {
            tooLong = middle;
        }
    }
    return cut(fits);
}

}  // namespace zelk
