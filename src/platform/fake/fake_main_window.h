// A top-level window for tests: it records every change in order, keeps its
// state in public fields, and lets the test play the user (close box,
// window manager) and the UI loop. Obeys the contract of TopLevelWindow; the
// size rules are the shared ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_native_view.h"
#include "platform/ui.h"

namespace tessel::platform {

class FakeMainWindow : public TopLevelWindow {
 public:
  // The native window's state.
  std::string caption;
  std::string application_title;
  std::string application_id;
  std::string icon;  // the PNG's bytes
  int width = 0;
  int height = 0;
  int border_style = kBorderSizeable;
  WindowState state = WindowState::Normal;
  bool stay_on_top = false;
  bool busy_bar_visible = false;
  bool shown = false;
  bool closed = false;
  bool centred = false;  // placed in the middle of the screen at its first showing

  // Every native change, in order: "caption T", "application title T",
  // "application id I", "icon N bytes", "size WxH", "limits max WxH min WxH",
  // "border N", "state normal|minimized|
  // maximized", "on top 0|1", "busy bar 0|1", "show", "activate", "close
  // refused", "closed".
  std::vector<std::string> changes;
  int close_queries = 0;
  int on_close_calls = 0;
  // The last control CreateContentView made (owned by whoever took it).
  FakeNativeView* content_view = nullptr;

  // What the UI loop does while RunMessageLoop runs (drain a fake
  // dispatcher, play the user). RunMessageLoop returns when it does, calling
  // OnClose only if the window closed by then.
  std::function<void(FakeMainWindow& window)> loop;

  static NativeWindowHandle ClientAreaHandle() {
    return reinterpret_cast<NativeWindowHandle>(static_cast<std::uintptr_t>(0xC11E));
  }

  // The close box (or the window manager's close request): true when the
  // window closed.
  bool RequestClose();

  void SetCaption(const std::string& value) override;
  std::string Caption() const override { return caption; }
  void SetApplicationTitle(const std::string& value) override;
  std::string ApplicationTitle() const override { return application_title; }
  void SetApplicationId(const std::string& value) override;
  void SetIcon(const std::string& png) override;
  int Width() const override { return width; }
  int Height() const override { return height; }
  void SetBorderStyle(int value) override;
  int BorderStyle() const override { return border_style; }
  void SetWindowState(WindowState value) override;
  WindowState State() const override { return state; }
  void SetStayOnTop(bool value) override;
  bool StayOnTop() const override { return stay_on_top; }
  NativeWindowHandle ClientArea() override { return ClientAreaHandle(); }
  std::unique_ptr<NativeView> CreateContentView() override;
  void SetBusyBarVisible(bool visible) override;
  bool BusyBarVisible() const override { return busy_bar_visible; }
  void Activate() override { changes.push_back("activate"); }
  void Show() override;
  bool Shown() const override { return shown; }
  void Close() override { RequestClose(); }
  bool Closed() const override { return closed; }
  void RunMessageLoop() override;

 protected:
  void ApplySize(int new_width, int new_height) override;
  void ApplyLimits() override;

 private:
  bool on_close_done_ = false;
};

std::string WindowStateName(WindowState state);

// A file dialog as the user saw it.
struct ShownFileDialog {
  bool save = false;
  FileDialogOptions options;  // as passed in
};

// What the scripted user does with the next file dialog.
struct FileDialogAnswer {
  std::optional<std::string> path;    // nullopt: cancel
  std::size_t select_type_index = 0;  // the filter switched to; 0 keeps the preselected one
};

}  // namespace tessel::platform
