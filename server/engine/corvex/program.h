// A compiled Corvex program: register bytecode over one frame of slots per call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {

// Operands name a frame slot (0 and up) or a constant (-1 is constant 0, -2 constant 1, ...).
// Operations with several inputs read them from a run of operands in Program::operands: c is
// where it starts and the low four bits of x its length.
// The numbers are stored in object code: a new operation goes last (before kCount_), and none
// is renumbered, or cataloged programs would run the wrong operations.
// kJumpOut's b is a literal bit set, not an operand: bit n stands for outcome n of the file
// statement before it. A FOR loop keeps its limit and step in slots of their own, so that
// changing the variables they were computed from inside the loop does not move its end.
enum class Op : std::uint8_t {
  kMove,  // a <- b
  kAdd,   // a <- b + c (likewise the arithmetic, comparison and logic ops)
  kSub,
  kMul,
  kDiv,
  kPow,
  kCat,
  kEq,
  kNe,
  kLt,
  kGt,
  kLe,
  kGe,
  kAnd,
  kOr,
  kNeg,         // a <- -b
  kNot,         // a <- NOT(b)
  kJump,        // to a
  kJumpIf,      // to b when a is true
  kJumpIfNot,   // to b when a is false
  kJumpOut,     // to c unless outcome a is in the bit set b
  kForPrep,     // a = variable, b = limit slot (step in b + 1); to c when the loop does not run
  kForNext,     // steps a; to c while within the limit
  kElement,     // a <- b<x operands from c>
  kSetElement,  // a<x operands from c> <- b
  kSubstring,   // a <- b[x operands from c]
  kFunction,    // a <- intrinsic b (x operands from c)
  kPrint,       // a onto the output line
  kNewline,     // ends the output line
  kGosub,       // to a, remembering the next instruction
  kReturn,      // back from GOSUB, or out of the program
  kCall,        // subroutine named by constant a with x operands from c, by reference
  kStop,        // out of the whole call
  kOpen,        // a <- file of (x operands from c: [dict,] name); outcome b
  kRead,        // a <- item (c: file, id[, attribute]); outcome b; x: count, 0x10 locks
  kWrite,       // a -> item (c: file, id[, attribute]); outcome b; x: count, 0x10 keeps the lock
  kDelete,      // item (c: file, id); outcome b
  kRelease,     // (c: x operands: none, or file and id)
  kLocate,      // a <- position (c: needle, array, attr, value, order); outcome b
  // Dimensioned arrays live in consecutive slots from a base; the runs end with the dimensions
  // as constants (rows, or rows and columns), so that the loader can check the slots.
  kMatGet,    // a <- element of the array at b (c: index[, index], dimensions)
  kMatSet,    // element of the array at a (c: index[, index], dimensions) <- b
  kMatFill,   // every element of the array at a <- b (c: element count)
  kMatParse,  // the array at a <- fields of b (c: delimiter, element count)
  kMatBuild,  // a <- the elements of the array at b joined (c: delimiter, element count)
  kSelect,    // a <- select list of (c: file or text[, list number]); x 0x10: a list variable
  kReadNext,  // a <- next id of list (c: list); outcome b
  kReadList,  // a <- the rest of list (c: list); outcome b
  kExecute,   // a <- printed lines, b <- message numbers of the TCL sentence (c: sentence)
  kCommon,    // slots a.. a+b-1 from (or, x 0x10, to) a common block (c: name, offset)
  // the port's transaction: x 1 start, 2 commit, 3 abort; outcome b
  kTransaction,
  kCount_
};

// The intrinsic functions, by number.
// Stored in object code like Op: new functions go last.
enum class Fn : std::uint8_t {
  kLen,
  kTrim,
  kField,
  kIndex,
  kCount,
  kDcount,
  kExtract,
  kReplace,
  kInsert,
  kDelete,
  kOconv,
  kIconv,
  kUpcase,
  kDowncase,
  kStr,
  kSpace,
  kNum,
  kAlpha,
  kInt,
  kAbs,
  kMod,
  kSeq,
  kChar,
  kDate,
  kTime,
  kConvert,
  kChange,
  kNot,
  kFmt,
  kMatches,
  kSum,
  kFields,
  kEreplace,
  kDquote,
  kSquote,
  kCounts,
  kRem,
  kDiv,
  kPwr,
  kSqrt,
  kRnd,
  kOconvs,
  kIconvs,
  kSplice,
  kSubstringSet,  // s with characters start.. replaced: the X[s,l] = v assignment
  kAccount,
  kUser,
  kCount_
};

// One instruction: a, b and c are operands, jump targets or literals as the Op says; x holds an
// operand run's length (low four bits) and the op's flags (0x10 and up), or kTransaction's step.
struct Instr {
  Op op = Op::kMove;
  std::uint8_t x = 0;
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;
};

struct Program {
  // A main program cannot be CALLed; only a SUBROUTINE takes parameters by reference.
  bool subroutine = false;
  std::string name;
  std::int32_t parameters = 0;  // the first slots
  // Parameters, then variables, then the compiler's temporaries: the frame a call allocates.
  std::int32_t slots = 0;
  std::vector<Instr> code;
  std::vector<std::int32_t> lines;  // source line of each instruction
  // The runs of operands that instructions with several inputs point into.
  std::vector<std::int32_t> operands;
  // Constants as text; constantValues holds them ready for the run.
  std::vector<std::string> constants;
  std::vector<std::string> variables;  // names of the first slots, for messages

  // Built from constants when the program is made or loaded, last first, so that operand o < 0
  // is constantBase()[o] just as o >= 0 is frame[o]; each already knows whether it is a number.
  std::vector<Value> constantValues;
  void prepareConstants();
  [[nodiscard]] const Value* constantBase() const noexcept {
    return constantValues.data() + constantValues.size();
  }
};

struct CompileError {
  int line = 0;
  std::string text;
};

struct Compiled {
  std::shared_ptr<const Program> program;  // set when there were no errors
  std::vector<CompileError> errors;
};

// Compiles source text (lines separated by attribute marks or newlines). Never throws for any
// source text; every problem is a CompileError.
[[nodiscard]] Compiled compile(std::string_view source);
// The text of the source item a $INCLUDE or $INSERT names, or nothing when there is none.
using Includer = std::function<std::optional<std::string>(std::string_view reference)>;
[[nodiscard]] Compiled compile(std::string_view source, const Includer& include);

// The object code as stored with the account: printable text, checked when read back.
[[nodiscard]] std::string serialize(const Program& p);
// Nothing when the text is not object code of this version or breaks a rule of the bytecode.
[[nodiscard]] std::shared_ptr<const Program> deserialize(std::string_view text);

// Which of an instruction's fields are slot operands, and whether c starts an operand run.
// The loader checks every operand against this before a program may run, so the machine can
// index the frame without bounds checks.
struct OpShape {
  bool a, b, c, run;
};
[[nodiscard]] OpShape shapeOf(Op op) noexcept;

}  // namespace tarn::server::corvex
