// clsTarnDynamicArray: a UTF-16 string structured by attribute, value and sub-value marks, taken
// apart and rebuilt locally. Elements are addressed by 1-based (attribute, value, sub-value).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnEnvironment;
class clsTarnFile;
class clsTarnTclCommand;
class clsTarnSelectList;

// The structure marks.
inline constexpr char16_t kSB = 0x00FB;   // start-buffer mark
inline constexpr char16_t kSVM = 0x00FC;  // sub-value mark
inline constexpr char16_t kVM = 0x00FD;   // value mark
inline constexpr char16_t kAM = 0x00FE;   // attribute mark
inline constexpr char16_t kSM = 0x00FF;   // segment mark

enum eTarnSystemDelimeters : std::int32_t {
  TarnSB = 251,
  TarnSVM = 252,
  TarnVM = 253,
  TarnAM = 254,
  TarnSM = 255,
};

// A level number passed as a plain 32-bit integer: the element members take it as it is, with no
// conversion. Any other type goes through Variant and the platform's conversion rules.
template <class T>
concept TarnLevel = std::same_as<T, std::int32_t>;

class TARN_API clsTarnDynamicArray : public Object {
 public:
  // A new, empty, unlinked array (case-insensitive comparisons).
  [[nodiscard]] static Ref<clsTarnDynamicArray> create();

  // The text; the put keeps name, environment and linked state.
  [[nodiscard]] const String& brCString() const noexcept { return text_; }
  void brCString(const String& sRaw);
  void brCString(String&& sRaw);

  // Copies share the environment and have the same name, text and linked state.
  [[nodiscard]] Ref<clsTarnDynamicArray> brCopy() const;
  [[nodiscard]] Ref<clsTarnDynamicArray> brClone() const;
  // The length of the text in UTF-16 code units, marks included.
  [[nodiscard]] std::int32_t brLen() const noexcept;

  // The addressed element; "" for 0, negative or missing elements. Level numbers that cannot be
  // converted to 32-bit integers throw the platform's errors (13, 94, 6) before anything else.
  template <TarnLevel V = std::int32_t, TarnLevel S = std::int32_t>
  [[nodiscard]] String brExtractStr(std::int32_t nAMC, V nVMC = 0, S nSVMC = 0) const {
    return ExtractElement(nAMC, nVMC, nSVMC);
  }
  [[nodiscard]] String brExtractStr(std::int32_t nAMC, const Variant& nVMC,
                                    const Variant& nSVMC = Variant::missing()) const;
  [[nodiscard]] Ref<clsTarnDynamicArray> brExtract(const Variant& nAMC,
                                                   const Variant& nVMC = Variant::missing(),
                                                   const Variant& nSVMC = Variant::missing()) const;
  // Replaces the element, creating it (with the marks needed) when missing; 0 puts the new text
  // in front as a new attribute 1; a negative number appends at the end of that level.
  template <TarnLevel A, TarnLevel V = std::int32_t, TarnLevel S = std::int32_t>
  void brReplaceStr(const String& sNewStr, A nAMC, V nVMC = 0, S nSVMC = 0) {
    ReplaceElement(sNewStr, nAMC, nVMC, nSVMC);
  }
  void brReplaceStr(const String& sNewStr, const Variant& nAMC,
                    const Variant& nVMC = Variant::missing(),
                    const Variant& nSVMC = Variant::missing());
  // Throws object-not-set (91) when aReplace is nothing.
  void brReplace(const Ref<clsTarnDynamicArray>& aReplace, const Variant& nAMC,
                 const Variant& nVMC = Variant::missing(),
                 const Variant& nSVMC = Variant::missing());
  // Inserts a new element before the addressed one.
  template <TarnLevel A, TarnLevel V = std::int32_t, TarnLevel S = std::int32_t>
  void brInsertStr(const String& sInsertStr, A nAMC, V nVMC = 0, S nSVMC = 0) {
    InsertElement(sInsertStr, nAMC, nVMC, nSVMC);
  }
  void brInsertStr(const String& sInsertStr, const Variant& nAMC,
                   const Variant& nVMC = Variant::missing(),
                   const Variant& nSVMC = Variant::missing());
  void brInsert(const Ref<clsTarnDynamicArray>& aInsert, const Variant& nAMC,
                const Variant& nVMC = Variant::missing(),
                const Variant& nSVMC = Variant::missing());
  // Removes the element with one adjacent mark; a missing element leaves the text unchanged.
  template <TarnLevel A, TarnLevel V = std::int32_t, TarnLevel S = std::int32_t>
  void brDelete(A nAMC, V nVMC = 0, S nSVMC = 0) {
    deleteElement(nAMC, nVMC, nSVMC);
  }
  void brDelete(const Variant& nAMC, const Variant& nVMC = Variant::missing(),
                const Variant& nSVMC = Variant::missing());

  // The name it was given: the item-id of the read that made it, "" otherwise.
  [[nodiscard]] const String& brName() const noexcept { return name_; }
  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

  // Search and transformation. Comparisons use the compare mode: the environment's casing when
  // linked, case-insensitive otherwise; mark strings always compare exactly.
  [[nodiscard]] Variant brCount(const String& sDelmtr) const;
  [[nodiscard]] Variant brDCount(const String& sDelmtr) const;
  bool brLocateStrSeq(const String& sSub, const String& sSeq, std::int32_t& nPosition,
                      const Variant& vnAMC = Variant::missing(),
                      const Variant& vnVMC = Variant::missing(),
                      const Variant& vnStart = Variant::missing()) const;
  bool brLocateSeq(const Ref<clsTarnDynamicArray>& aElement, const Ref<clsTarnDynamicArray>& aSeq,
                   std::int32_t& nPosition, const Variant& vnAMC = Variant::missing(),
                   const Variant& vnVMC = Variant::missing(),
                   const Variant& vnStart = Variant::missing()) const;
  bool brLocateStr(const String& sSub, std::int32_t& nPosition,
                   const Variant& vnAMC = Variant::missing(),
                   const Variant& vnVMC = Variant::missing(),
                   const Variant& vnStart = Variant::missing()) const;
  bool brLocate(const Ref<clsTarnDynamicArray>& aElement, std::int32_t& nPosition,
                const Variant& vnAMC = Variant::missing(),
                const Variant& vnVMC = Variant::missing(),
                const Variant& vnStart = Variant::missing()) const;
  std::int32_t brConvert(const String& sFrom, const String& sTo);
  [[nodiscard]] bool brEqualStr(const String& s) const;
  [[nodiscard]] bool brEqual(const Ref<clsTarnDynamicArray>& anArray) const;
  [[nodiscard]] std::int32_t brIndex(const String& sChrDelim, std::int32_t nInstance) const;
  // A select list over the attributes of the text.
  [[nodiscard]] Ref<clsTarnSelectList> brSelect();
  // Drops leading and trailing blanks and folds each run of blanks into one.
  void brTrim();

 private:
  friend class clsTarnEnvironment;
  friend class clsTarnFile;
  friend class clsTarnTclCommand;
  friend class clsTarnConnection;
  friend class clsTarnSelectList;
  friend class clsTarnIndex;
  friend struct DynamicArrayInternals;
  clsTarnDynamicArray() = default;

  void rsInitFromEnvironment(const Ref<clsTarnEnvironment>& environment);
  void rsInitFromFile(clsTarnFile& file);
  void rsInitFromTclCommand(clsTarnTclCommand& command);
  void rsInitFromDynamicArray(const clsTarnDynamicArray& array);
  [[nodiscard]] const Ref<clsTarnEnvironment>& rsParentEnvironment() const { return environment_; }
  [[nodiscard]] bool rsIsLinked() const { return linked_; }

  // True when comparisons are case-sensitive (linked to an environment whose casing is on).
  [[nodiscard]] bool caseSensitive() const;

  // The span of an element: 0-based start and length in the text, the marks of each level still
  // needed to reach it (0 when it exists, negative for a negative level number), and the mark
  // of the deepest level addressed.
  struct Element {
    std::size_t start = 0;
    std::size_t length = 0;
    std::int64_t missA = 0;
    std::int64_t missV = 0;
    std::int64_t missS = 0;
    char16_t mark = 0x00FE;
  };
  [[nodiscard]] Element FindElement(std::int32_t a, std::int32_t v, std::int32_t s) const;
  // FindElement's body, inlined into the element members.
  [[nodiscard]] Element LocateElement(std::int32_t a, std::int32_t v, std::int32_t s) const;
  // Start of attribute a (a >= 1), or the number of attribute marks in the text when it has
  // fewer than a - 1. Leaves attribute a remembered when it exists.
  [[nodiscard]] bool locateAttribute(std::int32_t a, std::size_t& start, std::size_t& marks) const;
  // Makes attribute a, starting at start (and ending at end, when known), the remembered one.
  void remember(std::int32_t a, std::size_t start, std::size_t end = kUnknownEnd) const noexcept {
    rememberedAttr_ = a;
    rememberedStart_ = start;
    rememberedEnd_ = end;
  }
  [[nodiscard]] String ExtractElement(std::int32_t a, std::int32_t v, std::int32_t s) const;
  void ReplaceElement(const String& newText, std::int32_t a, std::int32_t v, std::int32_t s);
  void InsertElement(const String& newText, std::int32_t a, std::int32_t v, std::int32_t s);
  void deleteElement(std::int32_t a, std::int32_t v, std::int32_t s);
  // Writes marks and newText over text_[start, start + length); keeps the remembered position
  // when it lies before start.
  void splice(std::size_t start, std::size_t length, std::int64_t missA, std::int64_t missV,
              std::int64_t missS, const String& newText, char16_t trailingMark);
  // True when the remembered position agrees with the text (checked in debug builds). The count
  // of marks from the start runs only once the calls since the last one have paid for it, so
  // that the check costs a constant factor, not a factor of the array's size.
  [[nodiscard]] bool CheckInvariants() const noexcept;
  // Drops the remembered position unless it lies at or before firstChanged.
  void textChanged(std::size_t firstChanged) noexcept {
    // The remembered attribute start only depends on the text before it, its end on the text up
    // to and including its mark.
    if (rememberedAttr_ > 1 && rememberedStart_ > firstChanged) {
      rememberedAttr_ = 0;
      rememberedEnd_ = kUnknownEnd;
    }
    if (rememberedEnd_ != kUnknownEnd && rememberedEnd_ >= firstChanged) {
      rememberedEnd_ = kUnknownEnd;
    }
  }

  // Comparison and search shared by the locate and count members.
  [[nodiscard]] int CompareElements(StringView s1, StringView s2, bool rightJustified) const;
  [[nodiscard]] bool SearchSiblings(StringView sSub, std::int32_t& nPosition, const Variant& vnAMC,
                                    const Variant& vnVMC, const Variant& vnStart,
                                    const String* sequence) const;
  [[nodiscard]] std::size_t countIn(StringView pattern, bool exact) const;

  String name_;
  // Every change goes through textChanged, so that the remembered position stays true.
  String text_;
  Ref<clsTarnEnvironment> environment_;
  bool linked_ = false;
  // The last attribute located: attribute rememberedAttr_ starts at rememberedStart_ (0: none)
  // and ends at rememberedEnd_ (its attribute mark or the end of the text), when known. Purely a
  // shortcut for the next scan, so that reading attributes in order scans each once; every edit
  // keeps, moves or drops it.
  static constexpr std::size_t kUnknownEnd = static_cast<std::size_t>(-1);
  mutable std::int32_t rememberedAttr_ = 0;
  mutable std::size_t rememberedStart_ = 0;
  mutable std::size_t rememberedEnd_ = kUnknownEnd;
  // Units of work the debug self-check may spend on its next full count (see CheckInvariants).
  mutable std::size_t checkBudget_ = 0;
};

}  // namespace tarn
