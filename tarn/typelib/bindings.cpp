// One thunk per described member. The dispatcher has already checked the argument count and
// converted every argument to its described type, so a thunk only unpacks, calls and writes
// back what the member changed in its by-reference parameters.
#include "tarn/about/about.h"
#include "tarn/tarncl.h"
#include "tarn/typelib/bindings_internal.h"

namespace tarn::typelib {

namespace {

using DA = clsTarnDynamicArray;
using Env = clsTarnEnvironment;
using Conn = clsTarnConnection;
using File = clsTarnFile;
using List = clsTarnSelectList;
using Tcl = clsTarnTclCommand;
using Rule = clsTarnRuleModule;
using Consts = clsTarnGlobalConstant;
using Index = clsTarnIndex;
constexpr Kind M = Kind::Method;
constexpr Kind G = Kind::PropertyGet;
constexpr Kind L = Kind::PropertyLet;
constexpr Kind S = Kind::PropertySet;

template <class C>
C& me(Object& o) {
  return static_cast<C&>(o);
}
String str(Args a, int i) {
  return a[i]->toString();
}
std::int32_t num(Args a, int i) {
  return a[i]->toInt32();
}
// The dispatcher has checked the class, so the cast cannot go wrong.
template <class T>
Ref<T> obj(Args a, int i) {
  return Ref<T>(static_cast<T*>(a[i]->toObject().get()));
}
template <class T>
Ref<Object> make() {
  return T::create();
}
// Members that hand back a reference they may have cleared write it back as an object variant.
template <class T>
void putBack(Args a, int i, const Ref<T>& r) {
  *a[i] = Variant(Ref<Object>(r));
}

const Binding kEnvironment[] = {
    {"brCurrency", L,
     [](Object& o, Args a) { return me<Env>(o).brCurrency(str(a, 0)), Variant(); }},
    {"brCurrency", G, [](Object& o, Args) { return Variant(me<Env>(o).brCurrency()); }},
    {"brDecimal", L, [](Object& o, Args a) { return me<Env>(o).brDecimal(str(a, 0)), Variant(); }},
    {"brDecimal", G, [](Object& o, Args) { return Variant(me<Env>(o).brDecimal()); }},
    {"brGrouping", L,
     [](Object& o, Args a) { return me<Env>(o).brGrouping(str(a, 0)), Variant(); }},
    {"brGrouping", G, [](Object& o, Args) { return Variant(me<Env>(o).brGrouping()); }},
    {"brCasing", L,
     [](Object& o, Args a) { return me<Env>(o).brCasing(a[0]->toBool()), Variant(); }},
    {"brCasing", G, [](Object& o, Args) { return Variant(me<Env>(o).brCasing()); }},
    {"brDomain", G, [](Object& o, Args) { return Variant(me<Env>(o).brDomain()); }},
    {"brDatabase", G, [](Object& o, Args) { return Variant(me<Env>(o).brDatabase()); }},
    {"brVersion", G, [](Object& o, Args) { return Variant(me<Env>(o).brVersion()); }},
    {"brDescription", G, [](Object& o, Args) { return Variant(me<Env>(o).brDescription()); }},
    {"brType", G, [](Object& o, Args) { return Variant(me<Env>(o).brType()); }},
    {"brName", G, [](Object& o, Args) { return Variant(me<Env>(o).brName()); }},
    {"brCopyright", G, [](Object& o, Args) { return Variant(me<Env>(o).brCopyright()); }},
    {"brError", M,
     [](Object& o, Args a) {
       return Variant(a[0]->isMissing() ? me<Env>(o).brError() : me<Env>(o).brError(*a[0]));
     }},
    {"brAbout", M, [](Object& o, Args) { return me<Env>(o).brAbout(), Variant(); }},
    {"brOpenConnection", M,
     [](Object& o, Args a) { return Variant(me<Env>(o).brOpenConnection(str(a, 0), str(a, 1))); }},
    {"brOpenDynamicArray", M,
     [](Object& o, Args a) { return Variant(me<Env>(o).brOpenDynamicArray(*a[0])); }},
    {"brCloseConnection", M,
     [](Object& o, Args a) {
       auto c = obj<Conn>(a, 0);
       me<Env>(o).brCloseConnection(c);
       putBack(a, 0, c);
       return Variant();
     }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<Env>(o).brHandle()); }},
    {"brUniqueId", M, [](Object& o, Args) { return Variant(me<Env>(o).brUniqueId()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<Env>(o).brIsODBC()); }},
};

const Binding kDynamicArray[] = {
    {"brCString", L, [](Object& o, Args a) { return me<DA>(o).brCString(str(a, 0)), Variant(); }},
    {"brCString", G, [](Object& o, Args) { return Variant(me<DA>(o).brCString()); }},
    {"brCopy", M, [](Object& o, Args) { return Variant(me<DA>(o).brCopy()); }},
    {"brClone", M, [](Object& o, Args) { return Variant(me<DA>(o).brClone()); }},
    {"brLen", M, [](Object& o, Args) { return Variant(me<DA>(o).brLen()); }},
    {"brExtractStr", M,
     [](Object& o, Args a) { return Variant(me<DA>(o).brExtractStr(num(a, 0), *a[1], *a[2])); }},
    {"brReplaceStr", M,
     [](Object& o, Args a) {
       return me<DA>(o).brReplaceStr(str(a, 0), *a[1], *a[2], *a[3]), Variant();
     }},
    {"brReplace", M,
     [](Object& o, Args a) {
       return me<DA>(o).brReplace(obj<DA>(a, 0), *a[1], *a[2], *a[3]), Variant();
     }},
    {"brInsert", M,
     [](Object& o, Args a) {
       return me<DA>(o).brInsert(obj<DA>(a, 0), *a[1], *a[2], *a[3]), Variant();
     }},
    {"brInsertStr", M,
     [](Object& o, Args a) {
       return me<DA>(o).brInsertStr(str(a, 0), *a[1], *a[2], *a[3]), Variant();
     }},
    {"brDelete", M,
     [](Object& o, Args a) { return me<DA>(o).brDelete(*a[0], *a[1], *a[2]), Variant(); }},
    {"brName", G, [](Object& o, Args) { return Variant(me<DA>(o).brName()); }},
    {"brCount", M, [](Object& o, Args a) { return me<DA>(o).brCount(str(a, 0)); }},
    {"brDCount", M, [](Object& o, Args a) { return me<DA>(o).brDCount(str(a, 0)); }},
    {"brExtract", M,
     [](Object& o, Args a) { return Variant(me<DA>(o).brExtract(*a[0], *a[1], *a[2])); }},
    {"brLocateStrSeq", M,
     [](Object& o, Args a) {
       std::int32_t pos = num(a, 2);
       bool found = me<DA>(o).brLocateStrSeq(str(a, 0), str(a, 1), pos, *a[3], *a[4], *a[5]);
       *a[2] = Variant(pos);
       return Variant(found);
     }},
    {"brLocateSeq", M,
     [](Object& o, Args a) {
       std::int32_t pos = num(a, 2);
       bool found = me<DA>(o).brLocateSeq(obj<DA>(a, 0), obj<DA>(a, 1), pos, *a[3], *a[4], *a[5]);
       *a[2] = Variant(pos);
       return Variant(found);
     }},
    {"brLocateStr", M,
     [](Object& o, Args a) {
       std::int32_t pos = num(a, 1);
       bool found = me<DA>(o).brLocateStr(str(a, 0), pos, *a[2], *a[3], *a[4]);
       *a[1] = Variant(pos);
       return Variant(found);
     }},
    {"brLocate", M,
     [](Object& o, Args a) {
       std::int32_t pos = num(a, 1);
       bool found = me<DA>(o).brLocate(obj<DA>(a, 0), pos, *a[2], *a[3], *a[4]);
       *a[1] = Variant(pos);
       return Variant(found);
     }},
    {"brConvert", M,
     [](Object& o, Args a) { return Variant(me<DA>(o).brConvert(str(a, 0), str(a, 1))); }},
    {"brEqualStr", M, [](Object& o, Args a) { return Variant(me<DA>(o).brEqualStr(str(a, 0))); }},
    {"brEqual", M, [](Object& o, Args a) { return Variant(me<DA>(o).brEqual(obj<DA>(a, 0))); }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<DA>(o).brHandle()); }},
    {"brIndex", M,
     [](Object& o, Args a) { return Variant(me<DA>(o).brIndex(str(a, 0), num(a, 1))); }},
    {"brSelect", M, [](Object& o, Args) { return Variant(me<DA>(o).brSelect()); }},
    {"brTrim", M, [](Object& o, Args) { return me<DA>(o).brTrim(), Variant(); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<DA>(o).brIsODBC()); }},
};

const Binding kGlobalConstant[] = {
    {"brKeyCompChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyCompChr()); }},
    {"brKeyLastChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyLastChr()); }},
    {"brKeyNextChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyNextChr()); }},
    {"brKeyPrevChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyPrevChr()); }},
    {"brKeyRtrnChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyRtrnChr()); }},
    {"brKeyVrfyChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyVrfyChr()); }},
    {"brKeyXtraChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brKeyXtraChr()); }},
    {"brAMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brAMChr()); }},
    {"brSBChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brSBChr()); }},
    {"brSMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brSMChr()); }},
    {"brSVMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brSVMChr()); }},
    {"brVMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).brVMChr()); }},
    {"TarnAMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).TarnAMChr()); }},
    {"TarnSBChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).TarnSBChr()); }},
    {"TarnSMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).TarnSMChr()); }},
    {"TarnSVMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).TarnSVMChr()); }},
    {"TarnVMChr", G, [](Object& o, Args) { return Variant(me<Consts>(o).TarnVMChr()); }},
};

const Binding kConnection[] = {
    {"brName", G, [](Object& o, Args) { return Variant(me<Conn>(o).brName()); }},
    {"brDomain", G, [](Object& o, Args) { return Variant(me<Conn>(o).brDomain()); }},
    {"brDatabase", G, [](Object& o, Args) { return Variant(me<Conn>(o).brDatabase()); }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<Conn>(o).brHandle()); }},
    {"brUniqueId", M, [](Object& o, Args) { return Variant(me<Conn>(o).brUniqueId()); }},
    {"brFileName", G, [](Object& o, Args) { return Variant(me<Conn>(o).brFileName()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<Conn>(o).brIsODBC()); }},
    {"brCurrency", L,
     [](Object& o, Args a) { return me<Conn>(o).brCurrency(str(a, 0)), Variant(); }},
    {"brCurrency", G, [](Object& o, Args) { return Variant(me<Conn>(o).brCurrency()); }},
    {"brDecimal", L, [](Object& o, Args a) { return me<Conn>(o).brDecimal(str(a, 0)), Variant(); }},
    {"brDecimal", G, [](Object& o, Args) { return Variant(me<Conn>(o).brDecimal()); }},
    {"brGrouping", L,
     [](Object& o, Args a) { return me<Conn>(o).brGrouping(str(a, 0)), Variant(); }},
    {"brGrouping", G, [](Object& o, Args) { return Variant(me<Conn>(o).brGrouping()); }},
    {"brCasing", L,
     [](Object& o, Args a) { return me<Conn>(o).brCasing(a[0]->toBool()), Variant(); }},
    {"brCasing", G, [](Object& o, Args) { return Variant(me<Conn>(o).brCasing()); }},
    {"brOpenFile", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brOpenFile(str(a, 0), *a[1])); }},
    {"brCloseFile", M,
     [](Object& o, Args a) {
       auto f = obj<File>(a, 0);
       me<Conn>(o).brCloseFile(f);
       putBack(a, 0, f);
       return Variant();
     }},
    {"brOpenTclCommand", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brOpenTclCommand(str(a, 0))); }},
    {"brCloseTclCommand", M,
     [](Object& o, Args a) {
       auto c = obj<Tcl>(a, 0);
       me<Conn>(o).brCloseTclCommand(c);
       putBack(a, 0, c);
       return Variant();
     }},
    {"brOpenRuleModule", M,
     [](Object& o, Args a) {
       return Variant(me<Conn>(o).brOpenRuleModule(str(a, 0), *a[1], *a[2]));
     }},
    {"brCloseRuleModule", M,
     [](Object& o, Args a) {
       auto m = obj<Rule>(a, 0);
       me<Conn>(o).brCloseRuleModule(m);
       putBack(a, 0, m);
       return Variant();
     }},
    {"brOpenSelectList", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brOpenSelectList(str(a, 0))); }},
    {"brCloseSelectList", M,
     [](Object& o, Args a) {
       auto l = obj<List>(a, 0);
       me<Conn>(o).brCloseSelectList(l);
       putBack(a, 0, l);
       return Variant();
     }},
    {"brSystem", M, [](Object& o, Args a) { return Variant(me<Conn>(o).brSystem(num(a, 0))); }},
    {"brIconv", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brIconv(str(a, 0), str(a, 1))); }},
    {"brOconv", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brOconv(str(a, 0), str(a, 1))); }},
    {"brRelease", M, [](Object& o, Args) { return me<Conn>(o).brRelease(), Variant(); }},
    {"brTime", G, [](Object& o, Args) { return Variant(me<Conn>(o).brTime()); }},
    {"brTimeDate", G, [](Object& o, Args) { return Variant(me<Conn>(o).brTimeDate()); }},
    {"brStatus", G, [](Object& o, Args) { return Variant(me<Conn>(o).brStatus()); }},
    {"brDate", G, [](Object& o, Args) { return Variant(me<Conn>(o).brDate()); }},
    {"brSleep", M, [](Object& o, Args a) { return me<Conn>(o).brSleep(str(a, 0)), Variant(); }},
    {"brExecute", M,
     [](Object& o, Args a) { return me<Conn>(o).brExecute(str(a, 0), *a[1]), Variant(); }},
    {"brCapturing", G, [](Object& o, Args) { return Variant(me<Conn>(o).brCapturing()); }},
    {"brReturning", G, [](Object& o, Args) { return Variant(me<Conn>(o).brReturning()); }},
    {"brData", M, [](Object& o, Args a) { return me<Conn>(o).brData(str(a, 0)), Variant(); }},
    {"brSort", M, [](Object& o, Args a) { return Variant(me<Conn>(o).brSort(obj<DA>(a, 0))); }},
    {"brCreateFile", M,
     [](Object& o, Args a) {
       return Variant(me<Conn>(o).brCreateFile(str(a, 0), str(a, 1), *a[2], *a[3], *a[4]));
     }},
    {"brCreateFileEx", M,
     [](Object& o, Args a) {
       return Variant(me<Conn>(o).brCreateFileEx(str(a, 0), num(a, 1), num(a, 2), *a[3], *a[4],
                                                 *a[5], *a[6], *a[7]));
     }},
    {"brOpenFileEx", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brOpenFileEx(str(a, 0), *a[1])); }},
    {"brDeleteFile", M,
     [](Object& o, Args a) { return me<Conn>(o).brDeleteFile(str(a, 0), *a[1]), Variant(); }},
    {"brDictFlag", G, [](Object& o, Args) { return Variant(me<Conn>(o).brDictFlag()); }},
    {"brItemCount", M,
     [](Object& o, Args a) { return Variant(me<Conn>(o).brItemCount(*a[0], *a[1])); }},
    {"brSelect", M, [](Object& o, Args) { return Variant(me<Conn>(o).brSelect()); }},
    {"brSelectDict", M,
     [](Object& o, Args a) {
       auto dict = obj<File>(a, 0);
       return Variant(me<Conn>(o).brSelectDict(dict));
     }},
    {"brCompile", M,
     [](Object& o, Args a) {
       return Variant(me<Conn>(o).brCompile(str(a, 0), str(a, 1), str(a, 2)));
     }},
    {"brCatalog", M,
     [](Object& o, Args a) {
       return Variant(me<Conn>(o).brCatalog(str(a, 0), str(a, 1), str(a, 2)));
     }},
    {"brUpdateAccount", M,
     [](Object& o, Args a) {
       String name = str(a, 0);
       bool ok = me<Conn>(o).brUpdateAccount(name);
       *a[0] = Variant(std::move(name));
       return Variant(ok);
     }},
};

const Binding kFile[] = {
    {"brName", G, [](Object& o, Args) { return Variant(me<File>(o).brName()); }},
    {"brItemId", G, [](Object& o, Args) { return Variant(me<File>(o).brItemId()); }},
    {"brClearFile", M, [](Object& o, Args) { return me<File>(o).brClearFile(), Variant(); }},
    {"brAttribute", M,
     [](Object& o, Args a) { return Variant(me<File>(o).brAttribute(str(a, 0))); }},
    {"brColumn", M, [](Object& o, Args a) { return Variant(me<File>(o).brColumn(str(a, 0))); }},
    {"brDelete", M, [](Object& o, Args a) { return me<File>(o).brDelete(str(a, 0)), Variant(); }},
    {"brFileLock", M, [](Object& o, Args) { return me<File>(o).brFileLock(), Variant(); }},
    {"brFileUnlock", M, [](Object& o, Args) { return me<File>(o).brFileUnlock(), Variant(); }},
    {"brReadU", M, [](Object& o, Args a) { return Variant(me<File>(o).brReadU(str(a, 0))); }},
    {"brReadVU", M,
     [](Object& o, Args a) { return Variant(me<File>(o).brReadVU(str(a, 0), *a[1])); }},
    {"brReadV", M,
     [](Object& o, Args a) { return Variant(me<File>(o).brReadV(str(a, 0), *a[1])); }},
    {"brRead", M,
     [](Object& o, Args a) { return Variant(me<File>(o).brRead(str(a, 0), *a[1], *a[2])); }},
    {"brRelease", M, [](Object& o, Args a) { return me<File>(o).brRelease(str(a, 0)), Variant(); }},
    {"brSelect", M, [](Object& o, Args) { return Variant(me<File>(o).brSelect()); }},
    {"brWriteU", M,
     [](Object& o, Args a) { return me<File>(o).brWriteU(obj<DA>(a, 0), str(a, 1)), Variant(); }},
    {"brWriteVU", M,
     [](Object& o, Args a) {
       return me<File>(o).brWriteVU(obj<DA>(a, 0), str(a, 1), *a[2]), Variant();
     }},
    {"brWriteV", M,
     [](Object& o, Args a) {
       return me<File>(o).brWriteV(obj<DA>(a, 0), str(a, 1), *a[2]), Variant();
     }},
    {"brWrite", M,
     [](Object& o, Args a) {
       return me<File>(o).brWrite(obj<DA>(a, 0), str(a, 1), *a[2], *a[3]), Variant();
     }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<File>(o).brHandle()); }},
    {"brType", G, [](Object& o, Args) { return Variant(me<File>(o).brType()); }},
    {"brRoot", M, [](Object& o, Args a) { return Variant(me<File>(o).brRoot(str(a, 0))); }},
    {"brCreateIndex", M,
     [](Object& o, Args a) {
       Variant* records = a[3]->isMissing() ? nullptr : a[3];
       return Variant(me<File>(o).brCreateIndex(str(a, 0), a[1]->toBool(), *a[2], records));
     }},
    {"brDeleteIndex", M,
     [](Object& o, Args a) { return me<File>(o).brDeleteIndex(str(a, 0)), Variant(); }},
    {"brItemCount", M,
     [](Object& o, Args a) { return Variant(me<File>(o).brItemCount(*a[0], *a[1])); }},
    {"brUniqueId", M, [](Object& o, Args) { return Variant(me<File>(o).brUniqueId()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<File>(o).brIsODBC()); }},
};

// The cursor's moves and finds store the item-id into vsIId when it is given.
template <bool (Index::*Plain)(), bool (Index::*WithId)(Variant&)>
Variant move(Object& o, Args a) {
  return Variant(a[0]->isMissing() ? (me<Index>(o).*Plain)() : (me<Index>(o).*WithId)(*a[0]));
}
template <bool (Index::*Plain)(const String&), bool (Index::*WithId)(const String&, Variant&)>
Variant find(Object& o, Args a) {
  const String key = str(a, 0);
  return Variant(a[1]->isMissing() ? (me<Index>(o).*Plain)(key)
                                   : (me<Index>(o).*WithId)(key, *a[1]));
}

const Binding kIndex[] = {
    {"brIndexKey", G, [](Object& o, Args) { return Variant(me<Index>(o).brIndexKey()); }},
    {"brIndexId", G, [](Object& o, Args) { return Variant(me<Index>(o).brIndexId()); }},
    {"brIndexVC", G, [](Object& o, Args) { return Variant(me<Index>(o).brIndexVC()); }},
    {"brName", G, [](Object& o, Args) { return Variant(me<Index>(o).brName()); }},
    {"brKey", M,
     [](Object& o, Args a) {
       String key = str(a, 1);
       String id = str(a, 2);
       bool found;
       if (a[3]->isMissing()) {
         found = me<Index>(o).brKey(str(a, 0), key, id);
       } else {
         std::int32_t count = a[3]->toInt32();
         found = me<Index>(o).brKey(str(a, 0), key, id, count);
         *a[3] = Variant(count);
       }
       *a[1] = Variant(std::move(key));
       *a[2] = Variant(std::move(id));
       return Variant(found);
     }},
    {"brKeyX", M,
     [](Object& o, Args a) {
       String key = str(a, 0);
       Ref<clsTarnDynamicArray> ids;
       if (a[2]->isMissing()) {
         ids = me<Index>(o).brKeyX(key, str(a, 1));
       } else {
         std::int32_t count = a[2]->toInt32();
         ids = me<Index>(o).brKeyX(key, str(a, 1), count);
         *a[2] = Variant(count);
       }
       *a[0] = Variant(std::move(key));
       return Variant(ids);
     }},
    {"brMoveNext", M, move<&Index::brMoveNext, &Index::brMoveNext>},
    {"brMovePrevious", M, move<&Index::brMovePrevious, &Index::brMovePrevious>},
    {"brMoveFirst", M, move<&Index::brMoveFirst, &Index::brMoveFirst>},
    {"brMoveLast", M, move<&Index::brMoveLast, &Index::brMoveLast>},
    {"brFindFirst", M, find<&Index::brFindFirst, &Index::brFindFirst>},
    {"brFindNext", M, find<&Index::brFindNext, &Index::brFindNext>},
    {"brFindPrevious", M, find<&Index::brFindPrevious, &Index::brFindPrevious>},
    {"brFindLast", M, find<&Index::brFindLast, &Index::brFindLast>},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<Index>(o).brHandle()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<Index>(o).brIsODBC()); }},
};

const Binding kSelectList[] = {
    {"brName", G, [](Object& o, Args) { return Variant(me<List>(o).brName()); }},
    {"brItemId", G, [](Object& o, Args) { return Variant(me<List>(o).brItemId()); }},
    {"brValue", G, [](Object& o, Args) { return Variant(me<List>(o).brValue()); }},
    {"brEOL", G, [](Object& o, Args) { return Variant(me<List>(o).brEOL()); }},
    {"brBOL", G, [](Object& o, Args) { return Variant(me<List>(o).brBOL()); }},
    {"brCount", G, [](Object& o, Args) { return Variant(me<List>(o).brCount()); }},
    {"brItemIndex", G, [](Object& o, Args) { return Variant(me<List>(o).brItemIndex()); }},
    {"brIndex", M, [](Object& o, Args) { return Variant(me<List>(o).brIndex()); }},
    {"brReadnext", M,
     [](Object& o, Args a) {
       return Variant(a[0]->isMissing() ? me<List>(o).brReadnext() : me<List>(o).brReadnext(*a[0]));
     }},
    {"brReselect", M, [](Object& o, Args) { return Variant(me<List>(o).brReselect()); }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<List>(o).brHandle()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<List>(o).brIsODBC()); }},
};

const Binding kTclCommand[] = {
    {"brCommand", L, [](Object& o, Args a) { return me<Tcl>(o).brCommand(str(a, 0)), Variant(); }},
    {"brCommand", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brCommand()); }},
    {"brName", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brName()); }},
    {"brResults", L,
     [](Object& o, Args a) { return me<Tcl>(o).brResults(a[0]->toInt16()), Variant(); }},
    {"brResults", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brResults()); }},
    {"brData", M, [](Object& o, Args a) { return me<Tcl>(o).brData(str(a, 0)), Variant(); }},
    {"brExecute", M,
     [](Object& o, Args a) { return me<Tcl>(o).brExecute(*a[0], *a[1]), Variant(); }},
    {"brCapturing", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brCapturing()); }},
    {"brReturning", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brReturning()); }},
    {"brHandle", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brHandle()); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<Tcl>(o).brIsODBC()); }},
};

const Binding kRuleModule[] = {
    {"brName", G, [](Object& o, Args) { return Variant(me<Rule>(o).brName()); }},
    {"brCall", M, [](Object& o, Args a) { return Variant(me<Rule>(o).brCall(*a[0])); }},
    {"brHandle", G, [](Object& o, Args) { return me<Rule>(o).brHandle(); }},
    {"brIsODBC", G, [](Object& o, Args) { return Variant(me<Rule>(o).brIsODBC()); }},
    {"brTelnet", S,
     [](Object& o, Args a) { return me<Rule>(o).brTelnet(a[0]->toObject()), Variant(); }},
    {"brVirtualMachine", L,
     [](Object& o, Args a) { return me<Rule>(o).brVirtualMachine(a[0]->toObject()), Variant(); }},
};

const Binding kAbout[] = {
    {"Initialize", M,
     [](Object& o, Args a) { return Variant(me<frmTarnAbout>(o).Initialize(str(a, 0))); }},
};

const ClassBinding kClasses[] = {
    {"clsTarnEnvironment", &typeid(Env), &make<Env>, kEnvironment},
    {"clsTarnDynamicArray", &typeid(DA), &make<DA>, kDynamicArray},
    {"clsTarnGlobalConstant", &typeid(Consts), &make<Consts>, kGlobalConstant},
    {"clsTarnConnection", &typeid(Conn), nullptr, kConnection},
    {"clsTarnFile", &typeid(File), nullptr, kFile},
    {"clsTarnIndex", &typeid(Index), nullptr, kIndex},
    {"clsTarnSelectList", &typeid(List), nullptr, kSelectList},
    {"clsTarnTclCommand", &typeid(Tcl), nullptr, kTclCommand},
    {"clsTarnRuleModule", &typeid(Rule), nullptr, kRuleModule},
    {"frmTarnAbout", &typeid(frmTarnAbout), nullptr, kAbout},
};

}  // namespace

std::span<const ClassBinding> classBindings() {
  return kClasses;
}

}  // namespace tarn::typelib
