// The window's design values and its size rule, in twips (1/1440 inch).
// Every window shell converts from here; nothing else holds these numbers.
#pragma once

namespace tovrix {

// 15 twips make one pixel at 96 dots per inch.
inline constexpr int kTwipsPerPixelAt96Dpi = 15;

inline constexpr int TwipsToPixels(int twips, int dpi = 96) {
  // Rounded to the nearest pixel.
  return (twips * dpi + 720) / 1440;
}
inline constexpr int PixelsToTwips(int pixels, int dpi = 96) {
  return (pixels * 1440 + dpi / 2) / dpi;
}

struct TwipsSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const TwipsSize&, const TwipsSize&) = default;
};

// As designed: the client area, and the log's position and size in it.
inline constexpr TwipsSize kDesignClientSize{8415, 5340};
inline constexpr int kLogLeft = 120;
inline constexpr int kLogTop = 120;
inline constexpr TwipsSize kDesignLogSize{8175, 4815};

// The size rule: the smallest outer size, and what the log leaves free.
inline constexpr TwipsSize kMinimumOuterSize{4800, 2000};
inline constexpr int kLogWidthAllowance = 330;
inline constexpr int kLogHeightAllowance = 700;

struct SizeRuleResult {
  TwipsSize outer;  // the window's outer size after the rule
  TwipsSize log;    // the log's size
};

// The resize handler's rule: the outer size is kept at least at the
// minimum, and the log is the outer size less the allowances. The log's
// position is not touched.
inline constexpr SizeRuleResult ApplySizeRule(TwipsSize outer) {
  if (outer.width < kMinimumOuterSize.width) outer.width = kMinimumOuterSize.width;
  if (outer.height < kMinimumOuterSize.height) outer.height = kMinimumOuterSize.height;
  return {outer, {outer.width - kLogWidthAllowance, outer.height - kLogHeightAllowance}};
}

}  // namespace tovrix
