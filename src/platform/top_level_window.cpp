// The size rules every top-level window shares, whatever draws it.
#include <algorithm>

#include "platform/ui.h"

namespace tessel::platform {
namespace {

int NonNegative(int value) { return std::max(value, 0); }

// A maximum set to v pulls a larger minimum down to it.
void SetMax(int value, int& max, int& min) {
  max = NonNegative(value);
  if (max != 0 && max < min) min = max;
}

// A minimum set to v pushes a smaller non-zero maximum up to it.
void SetMin(int value, int& min, int& max) {
  min = NonNegative(value);
  if (max != 0 && max < min) max = min;
}

int Constrain(int size, int min, int max) {
  if (max != 0 && size > max) return max;
  if (min != 0 && size < min) return min;
  return size;
}

}  // namespace

void SizeLimits::SetMaxWidth(int value) { SetMax(value, max_width_, min_width_); }
void SizeLimits::SetMaxHeight(int value) { SetMax(value, max_height_, min_height_); }
void SizeLimits::SetMinWidth(int value) { SetMin(value, min_width_, max_width_); }
void SizeLimits::SetMinHeight(int value) { SetMin(value, min_height_, max_height_); }

int SizeLimits::ConstrainWidth(int width) const { return Constrain(width, min_width_, max_width_); }
int SizeLimits::ConstrainHeight(int height) const {
  return Constrain(height, min_height_, max_height_);
}

void TopLevelWindow::SetSize(int width, int height) {
  ApplySize(limits_.ConstrainWidth(NonNegative(width)),
            limits_.ConstrainHeight(NonNegative(height)));
}

void TopLevelWindow::SetMaxWidth(int value) { ChangeLimit(&SizeLimits::SetMaxWidth, value); }
void TopLevelWindow::SetMaxHeight(int value) { ChangeLimit(&SizeLimits::SetMaxHeight, value); }
void TopLevelWindow::SetMinWidth(int value) { ChangeLimit(&SizeLimits::SetMinWidth, value); }
void TopLevelWindow::SetMinHeight(int value) { ChangeLimit(&SizeLimits::SetMinHeight, value); }

void TopLevelWindow::ChangeLimit(void (SizeLimits::*setter)(int), int value) {
  const SizeLimits before = limits_;
  (limits_.*setter)(value);
  // Setting a limit to what it already is changes nothing.
  if (limits_ == before) return;
  ApplyLimits();
  const int width = limits_.ConstrainWidth(Width());
  const int height = limits_.ConstrainHeight(Height());
  if (width != Width() || height != Height()) ApplySize(width, height);
}

std::string WindowSystemTitle(std::string_view text) {
  if (text.size() <= kMaxWindowTitleBytes) return std::string(text);
  std::size_t end = kMaxWindowTitleBytes;
  // Back to the first byte of the character the limit falls in.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace tessel::platform
