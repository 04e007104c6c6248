// How the main window lays out its controls on every resize, written once
// for any unit: `Controls` binds it to the controls, and the window binds it
// to its real widgets in pixels (WidgetControls). Steps c, g and h read back
// what the neighbour reports after its own write, so that adjoining edges
// still meet where the toolkit adjusts a size.
#pragma once

namespace tallyroot {

// Twips are 1/1440 inch; the design gives all geometry in them.
inline constexpr double kTwipsPerInch = 1440.0;

template <typename Controls>
void LayOutControls(Controls& c) {
  const float scaleWidth = c.ScaleWidth();
  const float scaleHeight = c.ScaleHeight();
  c.SetLabel1Width(scaleWidth);                                                 // a
  c.SetText1Width(static_cast<float>(static_cast<double>(scaleWidth) * 0.75));  // b
  c.SetCommand1Left(c.Text1Width());                                            // c
  c.SetCommand1Width(scaleWidth / 4);                                           // d
  c.SetListHeight(scaleHeight - c.ListTop());                                   // e
  c.SetListWidth(scaleWidth - c.Command2Width());                               // f
  c.SetCommand2Left(c.ListWidth());                                             // g
  c.SetCommand2Height(c.ListHeight());                                          // h
}

// The window's size limits: never smaller than created, never larger than
// twice the screen.
struct SizeLimits {
  double minWidth, maxWidth, minHeight, maxHeight;
};

enum class WindowState { Normal, Minimized, Maximized };

// The size the window must be given after a resize, and its state. A
// maximized window outside the limits returns to normal at the largest
// allowed size; otherwise each side is brought within its limits.
struct SizeCorrection {
  WindowState state;
  float width;
  float height;
};

inline SizeCorrection CorrectSize(WindowState state, float width, float height,
                                  const SizeLimits& limits) {
  const auto minW = static_cast<float>(limits.minWidth), maxW = static_cast<float>(limits.maxWidth);
  const auto minH = static_cast<float>(limits.minHeight),
             maxH = static_cast<float>(limits.maxHeight);
  if (state == WindowState::Minimized) return {state, width, height};
  if (state == WindowState::Maximized &&
      !(minW <= width && width <= maxW && minH <= height && height <= maxH)) {
    return {WindowState::Normal, maxW, maxH};
  }
  if (width < minW) width = minW;
  if (width > maxW) width = maxW;
  if (height < minH) height = minH;
  if (height > maxH) height = maxH;
  return {state, width, height};
}

}  // namespace tallyroot
