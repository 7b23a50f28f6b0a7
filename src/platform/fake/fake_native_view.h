// A native view for tests: every answer is a public field, every request is
// counted, and the test raises the toolkit's notifications through
// `client()`.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/native_view.h"

namespace tessel::platform {

class FakeNativeView : public NativeView {
 public:
  // Answers.
  Rect client_rect{0, 0, 800, 600};
  bool visible = true;
  bool has_parent_form = true;
  std::function<bool(const KeyMessage&)> shortcut_handler;  // empty: nothing consumed

  // What was asked.
  int handle_requests = 0;
  int focus_calls = 0;
  std::vector<bool> select_next_calls;  // forward?
  std::vector<KeyMessage> offered_keys;

  NativeViewClient* client() const { return client_; }

  void SetClient(NativeViewClient* client) override { client_ = client; }
  void SetParent(NativeWindowHandle parent) override { parent_ = parent; }
  NativeWindowHandle Parent() const override { return parent_; }
  NativeWindowHandle Handle() override {
    ++handle_requests;
    if (!allocated_) {
      allocated_ = true;
      ++handle_generation_;
    }
    return reinterpret_cast<NativeWindowHandle>(static_cast<std::uintptr_t>(handle_generation_));
  }
  bool HandleAllocated() const override { return allocated_; }
  Rect ClientRect() const override { return client_rect; }
  bool Visible() const override { return visible; }
  void SetVisible(bool value) override {
    visible = value;
    if (client_ != nullptr) client_->VisibleChanged();
  }
  void Focus() override { ++focus_calls; }
  void SelectNext(bool forward) override { select_next_calls.push_back(forward); }
  bool HasParentForm() const override { return has_parent_form; }
  bool IsShortCut(const KeyMessage& message) override {
    offered_keys.push_back(message);
    return shortcut_handler && shortcut_handler(message);
  }

  // Destroys the native window and makes a new one, as a re-created ancestor
  // would, then tells the client.
  void RecreateHandle() {
    allocated_ = true;
    ++handle_generation_;
    if (client_ != nullptr) client_->HandleCreated();
  }

 private:
  NativeViewClient* client_ = nullptr;
  NativeWindowHandle parent_ = nullptr;
  bool allocated_ = false;
  int handle_generation_ = 0;
};

}  // namespace tessel::platform
