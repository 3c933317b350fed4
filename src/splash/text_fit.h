#pragma once
// The size a splash text is drawn in, free of Windows headers. A text too wide for its
// line shrinks, down to 80 % of its size, before it is cut with an ellipsis: the end of
// a message is often what tells the user what to do.

#include <functional>
#include <string>

namespace zelk {

inline constexpr float kSmallestTextScale = 0.8f;

struct TextFit {
    float size = 0.0f;
    bool ellipsis = false;  // still too wide at the smallest size: cut
};

// widthAt(size) is the text's width at a font size. The normal size when the text fits
// available; else the largest size it fits at, no smaller than 80 % of the normal one
// (tried from the width's proportion down, a percent at a time); else that smallest
// size, cut.
TextFit FitText(float size, float available, const std::function<float(float size)>& widthAt);

// The longest beginning of text that, followed by an ellipsis, is no wider than
// available (widthOf measures a text), spaces before the ellipsis dropped and a
// surrogate pair never split; the ellipsis alone when no character fits.
std::wstring CutWithEllipsis(const std::wstring& text, float available,
                             const std::function<float(const std::wstring& text)>& widthOf);

}  // namespace zelk
