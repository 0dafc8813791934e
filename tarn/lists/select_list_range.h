// Range-for over a select list: `for (const String& id : *list)` gives the current item-id
// when the list is on an element (a list made from a dynamic array starts on its first), then
// each id brReadnext reads until the list ends. Failures of brReadnext are thrown from the
// loop header; a list walked to the end stays there until brReselect.
#pragma once

#include <cstddef>
#include <iterator>

#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"
#include "tarn/lists/select_list.h"

namespace tarn {

class SelectListIterator {
 public:
  using value_type = String;
  using difference_type = std::ptrdiff_t;
  using reference = const String&;
  struct End {};

  SelectListIterator() = default;
  explicit SelectListIterator(clsTarnSelectList& list) : list_(&list) {
    if (!list.brEOL() && list.brItemIndex() > 0) {
      id_ = list.brItemId();
    } else {
      advance();
    }
  }

  [[nodiscard]] const String& operator*() const noexcept { return id_; }
  const String* operator->() const noexcept { return &id_; }
  SelectListIterator& operator++() {
    advance();
    return *this;
  }
  void operator++(int) { advance(); }
  friend bool operator==(const SelectListIterator& it, End) noexcept { return it.list_ == nullptr; }

 private:
  void advance() {
    Variant next;
    if (list_->brReadnext(next)) {
      id_ = next.toString();
    } else {
      list_ = nullptr;
    }
  }
  clsTarnSelectList* list_ = nullptr;
  String id_;
};

[[nodiscard]] inline SelectListIterator begin(clsTarnSelectList& list) {
  return SelectListIterator(list);
}
[[nodiscard]] inline SelectListIterator::End end(clsTarnSelectList&) noexcept {
  return {};
}
[[nodiscard]] inline SelectListIterator begin(const Ref<clsTarnSelectList>& list) {
  return SelectListIterator(*list);
}
[[nodiscard]] inline SelectListIterator::End end(const Ref<clsTarnSelectList>&) noexcept {
  return {};
}

}  // namespace tarn
