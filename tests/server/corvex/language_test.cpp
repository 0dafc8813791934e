// Corvex programs and what they print, compile errors with their lines, run-time errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "server/engine/corvex/program.h"
#include "server/engine/corvex/vm.h"

namespace tarn::server::corvex {
namespace {

// Marks shown as ^ ] \ so that expectations stay readable.
std::string shown(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(c == kAm ? '^' : c == kVm ? ']' : c == kSvm ? '\\' : c);
  return out;
}
std::string marked(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(c == '^' ? kAm : c == ']' ? kVm : c == '\\' ? kSvm : c);
  return out;
}

struct Case {
  const char* name;
  const char* source;   // lines joined by '\n'
  const char* printed;  // printed lines joined by '|', marks shown
};

std::string runSource(const std::string& source, const std::map<std::string, std::string>& library,
                      RunStatus* status = nullptr, std::string* message = nullptr) {
  Compiled c = compile(source);
  if (!c.program) {
    std::string all;
    for (const CompileError& e : c.errors) all += std::to_string(e.line) + ": " + e.text + "\n";
    ADD_FAILURE() << "does not compile:\n" << all << source;
    return {};
  }
  std::map<std::string, std::shared_ptr<const Program>> compiled;
  for (const auto& [name, text] : library) compiled[name] = compile(text).program;
  Runtime rt;
  rt.resolve = [&](std::string_view n) -> std::shared_ptr<const Program> {
    auto it = compiled.find(std::string(n));
    return it == compiled.end() ? nullptr : it->second;
  };
  std::vector<Value> args;
  RunResult r = run(*c.program, args, rt);
  if (status) *status = r.status;
  if (message) *message = r.message;
  // Lines are joined by attribute marks; the cases show marks inside a line through CONVERT.
  std::string out = rt.output;
  std::replace(out.begin(), out.end(), kAm, '|');
  return out;
}

const Case kCases[] = {
    {"arithmetic and integer printing", "CRT 1 + 2 * 3; CRT (1 + 2) * 3; CRT 7 / 2; CRT 2 ^ 10",
     "7|9|3.5|1024"},
    {"unary minus and decimals",
     "X = -5; CRT -X; CRT 0.1 + 0.2; CRT 10 / 4 * 2; CRT 1.50; CRT 0.3 - 0.1 - 0.2",
     "5|0.3|5|1.50|0"},
    {"numbers keep their text until arithmetic", "X = '007'; CRT X; CRT X + 0", "007|7"},
    {"concatenation binds looser than arithmetic", "CRT 'A' : 1 + 2 : 'B'", "A3B"},
    {"numeric comparison when both are numbers", "CRT ('10' > '9'); CRT ('10' = '10.0')", "1|1"},
    {"text comparison otherwise", "CRT ('B' > 'AB'); CRT ('10' > '9A'); CRT ('' = '0')", "1|0|0"},
    {"word comparisons", "CRT (1 EQ 1) : (1 NE 1) : (1 LT 2) : (2 GT 1) : (2 LE 2) : (3 GE 4)",
     "101110"},
    {"other comparison spellings", "CRT (1 # 2) : (1 <> 1) : (1 <= 0) : (1 >= 1)", "1001"},
    {"logic", "CRT (1 AND 0) : (1 OR 0) : NOT(0) : NOT('X')", "0110"},
    {"substrings", "S = 'ABCDEF'; CRT S[2,3]; CRT S[5,10]; CRT S[2]; CRT S[0,2]", "BCD|EF|EF|A"},
    {"element reads",
     "X = CONVERT('^]\\', @AM:@VM:@SVM, 'A^B]C\\D^E'); CRT X<2,2,2>; CRT X<3>; CRT X<2,1>; CRT "
     "X<9>",
     "D|E|B|"},
    {"element assignment pads at every level",
     "X = ''; X<3> = 'C'; X<1,2> = 'V'; X<2,1,3> = 'S'; CRT CONVERT(@AM:@VM:@SVM, '^]\\', X)",
     "]V^\\\\S^C"},
    {"append with -1",
     "X = ''; X<-1> = 'A'; X<-1> = 'B'; X<2,-1> = 'C'; CRT CONVERT(@AM:@VM, '^]', X)", "A^B]C"},
    {"compound assignment", "X = 1; X += 4; X -= 2; X *= 3; X := '!'; CRT X", "9!"},
    {"compound assignment of an element", "X = 1 : @AM : 2; X<2> += 5; CRT CONVERT(@AM, ',', X)",
     "1,7"},
    {"one-line IF", "X = 3; IF X > 2 THEN CRT 'big' ELSE CRT 'small'; IF X < 2 THEN CRT 'no'",
     "big"},
    {"block IF",
     "X = 1\nIF X THEN\n  CRT 'yes'\n  CRT 'again'\nEND ELSE\n  CRT 'no'\nEND\nIF NOT(X) ELSE CRT "
     "'else only'",
     "yes|again|else only"},
    {"nested IF takes the inner ELSE", "IF 1 THEN IF 0 THEN CRT 'a' ELSE CRT 'b'", "b"},
    {"FOR with STEP and NEXT", "FOR I = 10 TO 1 STEP -3\n CRT I:\nNEXT I\nCRT '.'; CRT I",
     "10741.|-2"},
    {"a GOSUB in a FOR body keeps the loop's limit",
     "FOR I = 1 TO 3\n  GOSUB 10\nNEXT I\nCRT I\nSTOP\n10 X = I * 2 + 100 - 1\nRETURN", "4"},
    {"FOR that never runs", "FOR I = 5 TO 1; CRT 'x'; NEXT; CRT I", "5"},
    {"LOOP WHILE and UNTIL",
     "I = 0\nLOOP\n  I += 1\nWHILE I < 5 DO\n  IF I = 3 THEN EXIT\nREPEAT\nCRT I\nLOOP UNTIL I > 6 "
     "DO I += 1 REPEAT\nCRT I",
     "3|7"},
    {"GOSUB and RETURN",
     "GOSUB 100\nGOSUB TWO\nCRT 'end'\nRETURN\n100 CRT 'one'\nRETURN\nTWO: CRT 'two'\nRETURN",
     "one|two|end"},
    {"GOTO", "I = 0\nTOP: I += 1\nIF I < 4 THEN GOTO TOP\nGO TO 9\nCRT 'skipped'\n9 CRT I", "4"},
    {"comments", "* a comment\n! another\nREM and another\nX = 1 ;* trailing\nCRT X ; REM also",
     "1"},
    {"PRINT lists and an open line", "PRINT 'a', 'b':\nPRINT 'c'", "a bc"},
    {"marks as names", "CRT SEQ(@AM) : ' ' : SEQ(@VM) : ' ' : SEQ(@SVM)", "254 253 252"},
    {"LEN TRIM UPCASE DOWNCASE",
     "CRT LEN('abc'); CRT '[' : TRIM('  a   b ') : ']'; CRT UPCASE('aB1'); CRT DOWNCASE('Ab')",
     "3|[a b]|AB1|ab"},
    {"FIELD INDEX COUNT DCOUNT",
     "S = 'a.b.c.d'; CRT FIELD(S, '.', 2); CRT FIELD(S, '.', 2, 2); CRT INDEX(S, '.', 3); CRT "
     "COUNT(S, '.'); CRT DCOUNT(S, '.'); CRT DCOUNT('', '.')",
     "b|b.c|6|3|4|0"},
    {"EXTRACT REPLACE INSERT DELETE",
     "X = CONVERT('^', @AM, 'A^B^C'); CRT EXTRACT(X, 2); CRT CONVERT(@AM:@VM, ',;', REPLACE(X, 2, "
     "2, 'b')); CRT CONVERT(@AM, ',', INSERT(X, 2, 'n')); CRT CONVERT(@AM, ',', DELETE(X, 1))",
     "B|A,B;b,C|A,n,B,C|B,C"},
    {"STR SPACE NUM ALPHA",
     "CRT STR('ab', 3); CRT '[' : SPACE(2) : ']'; CRT NUM('1.5') : NUM('x') : NUM(''); CRT "
     "ALPHA('abc') : ALPHA('a1')",
     "ababab|[  ]|101|10"},
    {"INT ABS MOD SEQ CHAR",
     "CRT INT(-3.7); CRT ABS(-2); CRT MOD(7, 3); CRT MOD(-7, 3); CRT SEQ('A'); CRT CHAR(66)",
     "-3|2|1|-1|65|B"},
    // Text is UTF-8 in the engine: lengths, positions and codes count characters, not bytes.
    {"characters beyond ASCII",
     "X = 'é日本'; CRT LEN(X); CRT X[2, 1]; CRT X[2]; CRT SEQ(X[2,1]); CRT CHAR(233) : "
     "CHAR(26085); "
     "CRT CONVERT('日é', 'nE', X); CRT INDEX('aé日b日c', '日', 2); CRT FIELD('aübécüd', 'é', 2); "
     "CRT FIELD('xéyéz', 'é', 1, 2)",
     "3|日|日本|26085|é日|En本|5|cüd|xéy"},
    {"CONVERT and CHANGE", "CRT CONVERT('abc', 'ax', 'aabbcc'); CRT CHANGE('a-b-c', '-', '+-')",
     "aaxx|a+-b+-c"},
    {"OCONV and ICONV", "CRT OCONV(0, 'D'); CRT ICONV('31 DEC 1967', 'D'); CRT OCONV(1234, 'MD2')",
     "31 DEC 1967|0|12.34"},
    {"DATE and TIME are numbers", "CRT NUM(DATE()) : (DATE() > 21000) : NUM(TIME())", "111"},
    {"LOCATE in attributes and values",
     "X = CONVERT('^]', @AM:@VM, 'A^B]C^D')\nLOCATE 'D' IN X SETTING P THEN CRT 'found ' : "
     "P\nLOCATE 'C' IN X<2> SETTING P ELSE CRT 'no'\nCRT P\nLOCATE 'Z' IN X<2> SETTING P ELSE CRT "
     "'missing ' : P",
     "found 3|2|missing 3"},
    {"LOCATE BY order",
     "X = CONVERT(']', @VM, 'B]D]F')\nLOCATE 'E' IN X<1> BY 'AL' SETTING P ELSE CRT P\nY = "
     "CONVERT(']', @VM, '10]9]2')\nLOCATE '5' IN Y<1> BY 'DR' SETTING P ELSE CRT P",
     "3|3"},
    // The older form's start: earlier elements are skipped, positions still count from 1.
    {"LOCATE from a start element",
     "X = CONVERT(']', @VM, 'A]B]A]C')\nLOCATE 'A' IN X<1>, 2 SETTING P THEN CRT P\nLOCATE 'B' "
     "IN X<1>, 3 SETTING P ELSE CRT 'no ' : P\nLOCATE 'A' IN X<1>, 9 SETTING P ELSE CRT P",
     "3|no 5|5"},
    {"CALL passes variables by reference", "A = 1; B = 'x'; CALL BUMP(A, B, 'lit'); CRT A : B",
     "2x!"},
    {"CALL chains", "A = 5; CALL OUTER(A); CRT A", "11"},
    {"STOP ends the call at once", "CRT 'a'; STOP; CRT 'b'", "a"},
    // The two LOCATE spellings side by side: each pair must print the same.
    {"LOCATE IN form and parenthesised form find values alike",
     "D = CONVERT('^]', @AM:@VM, 'A^X]Y]Z')\nLOCATE 'Y' IN D<2> SETTING P THEN CRT P\n"
     "LOCATE('Y', D, 2; Q) THEN CRT Q",
     "2|2"},
    {"LOCATE both forms with an order and a missing value",
     "D = CONVERT(']', @VM, 'B]D]F')\nLOCATE 'E' IN D<1> BY 'AL' SETTING P ELSE CRT P\n"
     "LOCATE('E', D, 1; Q; 'AL') ELSE CRT Q\nLOCATE 'C' IN D<1> SETTING P BY 'AL' ELSE CRT P",
     "3|3|2"},
    {"LOCATE both forms over attributes and subvalues, clauses as blocks",
     "D = CONVERT('^]\\', @AM:@VM:@SVM, 'A^B]C\\D')\nLOCATE('B', D; P) THEN\n  CRT 'attr ' : P\n"
     "END ELSE\n  CRT 'no ' : P\nEND\nLOCATE('D', D, 2, 2; P) THEN CRT 'sub ' : P\n"
     "LOCATE 'D' IN D<2,2> SETTING P THEN\n  CRT 'sub ' : P\nEND",
     "no 3|sub 2|sub 2"},
    {"BEGIN CASE takes the first true CASE",
     "FOR I = 1 TO 3\n  BEGIN CASE\n    CASE I = 1; CRT 'one'\n    CASE I = 2\n      CRT 'two'\n"
     "      CRT 'again'\n    CASE 1\n      CRT 'other'\n  END CASE\nNEXT I\n"
     "BEGIN CASE\nCASE 0\nCRT 'never'\nEND CASE\nCRT 'done'",
     "one|two|again|other|done"},
    {"DIM arrays, MAT fill and copy, two dimensions",
     "DIM A(3), B(3), G(2,3)\nMAT A = 'x'\nA(2) = 'y'; A(3) := '!'\nMAT B = MAT A\n"
     "CRT B(1) : B(2) : B(3)\nG(2,3) = 5; G(2,3) += 1; CRT G(2,3) : '[' : G(1,1) : ']'",
     "xyx!|6[]"},
    {"MATPARSE and MATBUILD",
     "DIM A(3)\nMATPARSE A FROM 'a,b,c,d', ','\nCRT A(1) : '|' : A(3)\nA(3) = ''\n"
     "MATBUILD S FROM A USING '-'\nCRT S\nMATPARSE A FROM CONVERT('^', @AM, 'p^q')\nCRT A(2) : '[' "
     ": A(3) : ']'",
     "a|c,d|a-b|q[]"},
    {"substring assignment and extraction from the end",
     "X = 'abcdef'; X[3,2] = 'XY'; CRT X; X[1,0] = '>'; CRT X; CRT X[-2,2]; CRT X[-3,1]\n"
     "Y = 'ab'; Y[5,1] = 'z'; CRT Y : '.'",
     "abXYef|>abXYef|ef|Y|ab  z."},
    {"FOR with WHILE and UNTIL, LOOP tests in every position",
     "FOR I = 1 TO 10 WHILE I < 4\n  CRT I:\nNEXT I\nCRT ''\nFOR I = 1 TO 10\n  UNTIL I > 2\n  CRT "
     "I:\nNEXT\nCRT ''\n"
     "N = 0\nLOOP WHILE N < 3 DO N += 1 REPEAT\nCRT N\nLOOP N += 1 UNTIL N >= 5 REPEAT\nCRT N\n"
     "LOOP\n  N -= 1\nUNTIL N = 0\nREPEAT\nCRT N",
     "123|12|3|5|0"},
    {"ON GOSUB and ON GOTO",
     "FOR I = 0 TO 3\n  ON I GOSUB 10, TWO, 30\nNEXT I\nON 2.9 GO TO 40, 50\n10 CRT 'ten'; "
     "RETURN\nTWO: CRT 'two'; RETURN\n"
     "30 CRT 'thirty'; RETURN\n40 CRT 'forty'\n50 CRT 'fifty'; STOP",
     "ten|two|thirty|fifty"},
    {"format masks and FMT",
     "CRT 1234.5 'R2#10' : '|'; CRT 'ab' 'L#4' : '|'; CRT 'ab' 'R#4'; CRT FMT(7, 'R%3'); CRT "
     "FMT('x', 'C*5');"
     " CRT FMT(1234567, 'R0,'); CRT FMT(0, 'D2/'); CRT 'abcdef' 'L#3' : 'abcdef' 'R#3' : 'abc' "
     "'R2'",
     "   1234.50||ab  ||  ab|007|**x**|1,234,567|12/31/67|abcdefabc"},
    {"MATCHES",
     "CRT ('123' MATCHES '3N') : ('12A' MATCHES '3N') : ('AB-12' MATCHES '2A\"-\"0N') : ('' "
     "MATCHES '0X')"
     " : ('x' MATCH '2N' : @VM : '1A') : ('é1' MATCHES '1A1N')",
     "101111"},
    {"SUM COUNTS FIELDS SPLICE",
     "CRT SUM(CONVERT(']', @VM, '1]2]3.5')); CRT CONVERT(@AM, '^', SUM(CONVERT('^]', @AM:@VM, "
     "'1]2^3]4')));"
     " CRT CONVERT(@VM, ']', COUNTS(CONVERT(']', @VM, 'aa]ba]c'), 'a'));"
     " CRT CONVERT(@VM, ']', FIELDS(CONVERT(']', @VM, 'a.b]c.d'), '.', 2));"
     " CRT CONVERT(@VM, ']', SPLICE(CONVERT(']', @VM, 'a]b'), '-', CONVERT(']', @VM, '1]2]3')))",
     "6.5|3^7|2]1]0|b]d|a-1]b-2]-3"},
    {"EREPLACE SWAP DQUOTE SQUOTE",
     "CRT EREPLACE('a.a.a.a', '.', '+', 2, 2); CRT EREPLACE('aaa', 'a', 'b'); CRT SWAP('x-y', '-', "
     "'');"
     " CRT DQUOTE('q') : SQUOTE('s')",
     "a.a+a+a|bbb|xy|\"q\"'s'"},
    {"REM DIV PWR SQRT RND",
     "CRT REM(7, 3) : ' ' : REM(-7, 3) : ' ' : DIV(7, 2) : ' ' : DIV(-7, 2) : ' ' : PWR(2, 10) : ' "
     "' : SQRT(16);"
     " R = RND(3); CRT (R >= 0 AND R < 3 AND INT(R) = R); CRT RND(0)",
     "1 -1 3 -3 1024 4|1|0"},
    {"OCONVS and ICONVS by element",
     "CRT CONVERT(@VM, ']', OCONVS(CONVERT(']', @VM, '1]250'), 'MD2')); CRT CONVERT(@VM, ']', "
     "ICONVS(CONVERT(']', @VM, '1.5]x'), 'MD2'))",
     "0.01]2.50|150]"},
    {"INS and DEL statements, appends at every level",
     "X = CONVERT('^', @AM, 'a^c'); INS 'b' BEFORE X<2>; DEL X<1>; X<2,-1> = 'd'; X<2,2,-1> = 'e'; "
     "X<-1> = 'f';"
     " CRT CONVERT(@AM:@VM:@SVM, '^]\\', X); INS 'z' BEFORE X<-1>; CRT X[1]",
     "b^c]d\\e^f|z"},
    {"@ names", "CRT (@DATE = DATE()) : NUM(@TIME) : @ACCOUNT : NUM(@USER); @ID = 'K1'; CRT @ID",
     "111|K1"},
    {"EQU replaces names by their text",
     "EQU LIMIT TO 3, GREETING TO 'hi' : '!'\nEQUATE FIRST TO REC<1>\nFIRST = 'a'\nDIM A(LIMIT)\n"
     "CRT LIMIT * 2 : GREETING : REC",
     "6hi!a"},
    {"statement words as variables", "DIM = 1; SELECT = 2; MAT = 3; CRT DIM + SELECT + MAT", "6"},
    {"COMMON shared with a called subroutine, by position",
     "COMMON TOTAL, N\nCOMMON /K/ SEEN, LAST(2)\nTOTAL = 5; N = 2\nCALL ADDC\nCALL ADDC\n"
     "CRT TOTAL : ' ' : N : ' ' : SEEN : ' ' : LAST(2)",
     "9 2 ** 4.5"},
};

const std::map<std::string, std::string> kLibrary = {
    {"BUMP", "SUBROUTINE BUMP(N, S, L)\nN = N + 1\nS := '!'\nL = 'changed'\nRETURN\nEND"},
    {"OUTER", "SUBROUTINE OUTER(X)\nCALL INNER(X)\nX = X + 1\nRETURN"},
    {"INNER", "SUBROUTINE INNER(Y)\nY = Y * 2\nEND"},
    {"ADDC",
     "SUBROUTINE ADDC\nCOMMON T, M\nCOMMON /K/ S, L(2)\nT = T + M\nS := '*'\nL(2) = T / 2\n"
     "RETURN"},
};

TEST(CorvexLanguage, ProgramsPrintWhatTheyShould) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(runSource(c.source, kLibrary), c.printed) << c.source;
  }
}

TEST(CorvexLanguage, CompileErrorsNameTheirLines) {
  struct ErrorCase {
    const char* source;
    int line;
    const char* says;
  } cases[] = {
      {"X = 1\nIF X CRT 1", 2, "THEN or ELSE expected"},
      {"X = (1 + 2\nCRT X", 1, "')' expected"},
      {"FOR I = 1 TO 3\nCRT I\nNEXT J", 3, "NEXT I expected"},
      {"LOOP\nCRT 1", 2, "REPEAT expected"},
      {"GOSUB 40\nRETURN", 1, "label '40' is not defined"},
      {"10 X = 1\n10 Y = 2", 2, "label '10' defined twice"},
      {"X = LEN(1, 2)", 1, "LEN takes 1 arguments"},
      {"X = FOO(1)", 1, "'FOO' is not a function"},
      {"CRT 'open", 1, "an unterminated string"},
      {"X = 1\nNEXT X", 2, "NEXT without its opening statement"},
      {"WHILE 1", 1, "WHILE or UNTIL outside a loop"},
      {"IF 1 THEN\nCRT 1", 2, "END expected"},
      {"END\nX = 1", 2, "nothing after END"},
      {"BEGIN CASE\nCASE 1\nCRT 1", 3, "END CASE expected, found the end of the program"},
      {"BEGIN CASE\nCRT 1\nEND CASE", 2, "CASE or END CASE expected"},
      {"X = 1\nCASE 1", 2, "CASE outside BEGIN CASE"},
      {"DIM A(0)", 1, "an array size must be a whole number from 1 to 10000"},
      {"X = 1\nDIM X(3)", 2, "X is already a variable"},
      {"DIM A(3)\nCRT A", 2, "A is an array: name an element"},
      {"MAT B = 1", 1, "B is not a dimensioned array"},
      {"DIM A(2), B(3)\nMAT A = MAT B", 2, "same size only"},
      {"X = 1\nLOCATE('x', D, 1, 2, 3; P) THEN NULL", 2, "';' expected"},
      {"LOCATE('x'; P) ELSE NULL", 1, "LOCATE needs a value and a dynamic array"},
      {"LOCATE 'x' IN D BY 'AL' THEN CRT 1", 1, "SETTING expected"},
      {"ON X GOSUB", 1, "a label expected"},
      {"ON X CRT 1", 1, "GOSUB or GOTO expected"},
      {"COMMON A(0)", 1, "an array size must be a whole number"},
      {"X = 'ab'\nX[1] = 'a'", 2, "',' expected"},
      {"EXECUTE 'WHO' CAPTURING", 1, "a variable expected"},
      {"INS 'a' BEFORE X", 1, "'<' expected"},
      {"EQU A TO", 1, "a value expected"},
      {"X = 1\nCOMMON X", 2, "X is used before COMMON"},
      {"READNEXT ID FROM L", 1, "THEN or ELSE expected"},
      {"FOR I = 1 TO 3 WHILE\nNEXT I", 1, "a value expected"},
      {"X = 1\n$INCLUDE DEFS", 2, "$INCLUDE DEFS: no source file here"},
      {"X = 'a' MATCHES", 1, "a value expected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    Compiled got = compile(c.source);
    EXPECT_FALSE(got.program);
    ASSERT_FALSE(got.errors.empty());
    EXPECT_EQ(got.errors.front().line, c.line);
    EXPECT_NE(got.errors.front().text.find(c.says), std::string::npos) << got.errors.front().text;
  }
  for (char c : {'(', '-'}) {
    EXPECT_EQ(compile("X = " + std::string(100000, c)).errors.front().text,
              "nesting deeper than 200");
  }
  std::string deepIf;
  for (int i = 0; i < 1000; ++i) deepIf += "IF 1 THEN\n";
  EXPECT_FALSE(compile(deepIf).program);
  // Each EQU may multiply the words after it: the growth is bounded, not exponential.
  std::string equates = "EQU A0 TO 1";
  for (int i = 1; i < 30; ++i) {
    equates += "\nEQU A" + std::to_string(i) + " TO A" + std::to_string(i - 1) + " + A" +
               std::to_string(i - 1);
  }
  EXPECT_NE(compile(equates + "\nCRT A29").errors.front().text.find("longer than"),
            std::string::npos);
  // Every bad line is reported, not only the first.
  EXPECT_EQ(compile("X = )\nY = 2\nZ = (").errors.size(), 2u);
}

TEST(CorvexLanguage, RunTimeErrorsNameTheLineAndKeepTheOutput) {
  struct ErrorCase {
    const char* source;
    const char* message;
  } cases[] = {
      {"PROGRAM P\nCRT 'before'\nX = 'abc' + 1", "P line 3: 'abc' is not a number"},
      {"X = 0\nY = 1 / X", "program line 2: division by zero"},
      {"CALL NOWHERE", "program line 1: subroutine NOWHERE is not cataloged"},
      {"CALL BUMP(1, 2, 3, 4)", "program line 1: 4 arguments passed to BUMP, which takes 3"},
      {"OPEN 'CUST' TO F ELSE NULL", "program line 1: files are not available here"},
      {"X = 1\nREAD R FROM X, 'ID' ELSE NULL", "program line 2: not a file variable"},
      {"CALL DEEP", "DEEP line 2: calls nested too deeply"},
      {"X = STR('ab', 50000000)", "program line 1: text longer than 67108864 bytes"},
      {"X<70000000> = 1", "program line 1: text longer than 67108864 bytes"},
      {"DIM A(3)\nX = A(4)", "program line 2: subscript 4 is outside 1 to 3"},
      {"DIM G(2,2)\nG(1,3) = 1", "program line 2: column 3 is outside 1 to 2"},
      {"X = SQRT(-1)", "program line 1: square root of a negative number"},
      {"X = DIV(1, 0)", "program line 1: division by zero"},
      {"READNEXT ID FROM 11 ELSE NULL", "program line 1: select list 11 is outside 0 to 10"},
      {"CRT 1\nEXECUTE 'WHO'", "program line 2: files are not available here"},
  };
  auto library = kLibrary;
  library["DEEP"] = "SUBROUTINE DEEP\nCALL DEEP\nRETURN";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    RunStatus status{};
    std::string message;
    std::string printed = runSource(c.source, library, &status, &message);
    EXPECT_EQ(status, RunStatus::kError);
    EXPECT_EQ(message, c.message);
  }
  RunStatus status{};
  EXPECT_EQ(runSource("CRT 'before'\nX = 'abc' + 1", {}, &status), "before");
}

TEST(CorvexLanguage, ArgumentsComeBackWithEveryMark) {
  Compiled c = compile("SUBROUTINE S(A, B, C)\nA<-1> = 'x'\nC = B : @SVM\nRETURN");
  ASSERT_TRUE(c.program);
  std::vector<Value> args{Value(marked("p^q]r")), Value(marked("\\^")), Value(std::string())};
  Runtime rt;
  ASSERT_EQ(run(*c.program, args, rt).status, RunStatus::kDone);
  EXPECT_EQ(shown(args[0].text()), "p^q]r^x");
  EXPECT_EQ(shown(args[1].text()), "\\^");
  EXPECT_EQ(shown(args[2].text()), "\\^\\");
}

TEST(CorvexLanguage, ACancelledLoopStops) {
  Compiled c = compile("LOOP\nREPEAT");
  ASSERT_TRUE(c.program);
  std::atomic<bool> cancel{true};
  Runtime rt;
  rt.cancel = &cancel;
  std::vector<Value> args;
  RunResult r = run(*c.program, args, rt);
  EXPECT_EQ(r.status, RunStatus::kStopped);
  EXPECT_EQ(r.message, "program line 2: the call was stopped");
}

// Whatever a turn of a loop does, a call stops at its time limit, at a cancel, and at its
// memory budget, before taking the memory.
TEST(CorvexLanguage, CallsStopAtTheirLimitsWhateverTheirTurnsDo) {
  const char* const heavyTurns[] = {
      "LOOP\n  S = STR('x', 10000000)\nREPEAT",                        // a 10 MB string per turn
      "S = STR('ab', 1000000)\nLOOP\n  N = INDEX(S, 'c', 1)\nREPEAT",  // a 2 MB scan
      "S = STR('ab', 1000000)\nLOOP\n  T = CHANGE(S, 'a', 'b')\nREPEAT",
      "S = STR('é', 1000000)\nI = 1000000\nLOOP\n  I = 1000001 - I\n  C = S[I, 1]\nREPEAT",
      "LOOP\n  X = 1\nREPEAT",
  };
  for (const char* source : heavyTurns) {
    SCOPED_TRACE(source);
    Compiled c = compile(source);
    ASSERT_TRUE(c.program);
    {
      Runtime rt;
      rt.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      std::vector<Value> args;
      const auto began = std::chrono::steady_clock::now();
      RunResult r = run(*c.program, args, rt);
      EXPECT_EQ(r.status, RunStatus::kStopped);
      EXPECT_NE(r.message.find("the call was stopped"), std::string::npos) << r.message;
      RecordProperty("stopped_after_ms",
                     static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - began)
                                          .count()));
    }
    {
      std::atomic<bool> cancel{true};
      Runtime rt;
      rt.cancel = &cancel;
      std::vector<Value> args;
      EXPECT_EQ(run(*c.program, args, rt).status, RunStatus::kStopped);
    }
  }
  struct Greedy {
    const char* source;
    std::size_t limit;
  } greedy[] = {
      // Output that grows every turn.
      {"S = STR('z', 1000000)\nLOOP\n  CRT S\nREPEAT", std::size_t{64} << 20},
      // One text that doubles.
      {"S = 'x'\nLOOP\n  S := S\nREPEAT", std::size_t{64} << 20},
      // Values fine, but the reply too: the argument comes back as a second copy.
      {"SUBROUTINE S(A)\nA = STR('r', 20000000)", std::size_t{32} << 20},
      // A frame nested through calls of itself.
      {"SUBROUTINE S(A)\nB = STR('d', 1000000)\nCALL S(A)", std::size_t{16} << 20},
  };
  // Forty variables of 6 MB against 64 MiB.
  std::string forty = "X = STR('y', 6000000)";
  for (int v = 1; v <= 40; ++v) forty += "\nA" + std::to_string(v) + " = X : " + std::to_string(v);
  std::vector<Greedy> all(std::begin(greedy), std::end(greedy));
  all.push_back({forty.c_str(), std::size_t{64} << 20});
  for (const Greedy& g : all) {
    SCOPED_TRACE(g.source);
    Compiled c = compile(g.source);
    ASSERT_TRUE(c.program);
    Runtime rt;
    rt.memoryLimit = g.limit;
    rt.resolve = [&](std::string_view) { return c.program; };
    std::vector<Value> args(static_cast<std::size_t>(c.program->parameters));
    RunResult r = run(*c.program, args, rt);
    EXPECT_EQ(r.status, RunStatus::kStopped);
    EXPECT_NE(r.message.find("needed more than its " + std::to_string(g.limit) +
                             " bytes of memory (MaxCallMemory)"),
              std::string::npos)
        << r.message;
    EXPECT_LE(rt.output.size(), g.limit);
  }
}

TEST(CorvexLanguage, ObjectCodeRoundTripsAndDamageIsRefused) {
  Compiled c = compile("SUBROUTINE S(A)\nFOR I = 1 TO 3; A := I : @AM; NEXT I\nRETURN");
  ASSERT_TRUE(c.program);
  std::string object = serialize(*c.program);
  std::shared_ptr<const Program> back = deserialize(object);
  ASSERT_TRUE(back);
  std::vector<Value> args{Value(std::string())};
  Runtime rt;
  ASSERT_EQ(run(*back, args, rt).status, RunStatus::kDone);
  EXPECT_EQ(shown(args[0].text()), "1^2^3^");
  EXPECT_FALSE(deserialize(object.substr(0, object.size() - 2)));
  EXPECT_FALSE(deserialize("CVX0:" + object.substr(5)));
  // A jump past the end of the code is refused rather than run.
  Program bad = *c.program;
  bad.code.front() = {Op::kJump, 0, 9999, 0, 0};
  EXPECT_FALSE(deserialize(serialize(bad)));
  bad = *c.program;
  bad.code.front() = {Op::kMove, 0, -1, 0, 0};  // writing into a constant
  EXPECT_FALSE(deserialize(serialize(bad)));
  // An array's extent comes from its dimension constants: one past the frame is refused, as is
  // a run whose dimensions are not where the machine reads them.
  Compiled arrays = compile("DIM A(3)\nA(2) = 1");
  ASSERT_TRUE(arrays.program);
  auto set = std::find_if(arrays.program->code.begin(), arrays.program->code.end(),
                          [](const Instr& i) { return i.op == Op::kMatSet; });
  ASSERT_NE(set, arrays.program->code.end());
  const auto at = static_cast<std::size_t>(set - arrays.program->code.begin());
  EXPECT_TRUE(deserialize(serialize(*arrays.program)));
  bad = *arrays.program;
  bad.code[at].a = bad.slots - 2;
  EXPECT_FALSE(deserialize(serialize(bad)));
  bad = *arrays.program;
  bad.code[at].x = 1;
  EXPECT_FALSE(deserialize(serialize(bad)));
  // A frame far larger than the code could use, as one changed field makes it.
  bad = *c.program;
  bad.slots = 400000000;
  EXPECT_FALSE(deserialize(serialize(bad)));
  // Counts larger than the rest of the item could hold are refused before anything is made.
  const std::string lengths[] = {"FFFFFFFF00000000", "0000000001000000", "FFFFFFFFFFFFFF7F"};
  for (std::size_t field = 0; field < 4; ++field) {
    for (const std::string& count : lengths) {
      // The counts of instructions, operands, constants and variables, found by position.
      std::string damaged = object;
      const std::size_t header = 5 + 16 + 16 + 2 * c.program->name.size() + 16 + 16;
      std::size_t at = header;
      if (field > 0) at += 16 + c.program->code.size() * 5 * 16;
      if (field > 1) at += 16 + c.program->operands.size() * 16;
      if (field > 2) {
        at += 16;
        for (const std::string& k : c.program->constants) at += 16 + 2 * k.size();
      }
      damaged.replace(at, 16, count);
      EXPECT_FALSE(deserialize(damaged)) << field << " " << count;
    }
  }
  // A function handed fewer arguments than it reads runs on empty ones.
  for (Fn fn : {Fn::kNum, Fn::kLen, Fn::kField, Fn::kNot, Fn::kReplace}) {
    bad = *c.program;
    bad.code.front() = {Op::kFunction, 0, 1, static_cast<std::int32_t>(fn), 0};
    std::shared_ptr<const Program> loaded = deserialize(serialize(bad));
    ASSERT_TRUE(loaded);
    std::vector<Value> none;
    Runtime quiet;
    (void)run(*loaded, none, quiet);
  }
}

}  // namespace
}  // namespace tarn::server::corvex
