// Late-bound dispatch beside the direct C++ call of the same member (brLen, a property-like
// function without arguments, and brExtractStr with two arguments), by id and by name; and
// 10,000 brRead calls from C++, which bench_python.py runs beside the same reads from Python.
// The reads use the data source in TARN_BENCH_DSN when it is set (bench_python.py sets it to
// the account it filled), otherwise an account of their own filled here first.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"

namespace tarn::bench {
namespace {

namespace tl = typelib;

constexpr int kItems = 10000;
constexpr std::size_t kBodySize = 200;

Ref<clsTarnDynamicArray> sample() {
  auto a = clsTarnDynamicArray::create();
  a->brCString(u"Smith\u00FE12 High Street\u00FE555-0100\u00FD555-0199\u00FEnote");
  return a;
}

void BM_DirectLen(benchmark::State& state) {
  auto a = sample();
  for (auto _ : state) benchmark::DoNotOptimize(a->brLen());
}
BENCHMARK(BM_DirectLen);

void BM_InvokeLenById(benchmark::State& state) {
  Ref<Object> a = sample();
  const std::string_view names[] = {"brLen"};
  const std::int32_t id = tl::getIdsOfNames(*tl::classOf(*a), names).front();
  for (auto _ : state) benchmark::DoNotOptimize(tl::invoke(a, id, tl::Kind::PropertyGet));
}
BENCHMARK(BM_InvokeLenById);

void BM_InvokeLenByName(benchmark::State& state) {
  Ref<Object> a = sample();
  for (auto _ : state) benchmark::DoNotOptimize(tl::invoke(a, "brLen", tl::Kind::PropertyGet));
}
BENCHMARK(BM_InvokeLenByName);

void BM_DirectExtractStr(benchmark::State& state) {
  auto a = sample();
  const Variant value(2);
  for (auto _ : state) benchmark::DoNotOptimize(a->brExtractStr(3, value));
}
BENCHMARK(BM_DirectExtractStr);

void BM_InvokeExtractStrById(benchmark::State& state) {
  Ref<Object> a = sample();
  const std::string_view names[] = {"brExtractStr"};
  const std::int32_t id = tl::getIdsOfNames(*tl::classOf(*a), names).front();
  std::vector<Variant> args{Variant(3), Variant(2)};
  for (auto _ : state) benchmark::DoNotOptimize(tl::invoke(a, id, tl::Kind::Method, args));
}
BENCHMARK(BM_InvokeExtractStrById);

// --- 10,000 reads through the whole stack

struct OwnAccount {
  testing::TempDir dir;
  testing::OdbcTestEnvironment odbc{{{"Tarn", TARN_ODBC_DRIVER_PATH}},
                                    {{"Tarn", "Tarn", {{"System", dir.path() + "/system"}}}}};
};

struct Reads {
  std::unique_ptr<OwnAccount> own;
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> file;
  std::vector<String> ids;

  Reads() {
    const char* given = std::getenv("TARN_BENCH_DSN");
    if (given == nullptr) own = std::make_unique<OwnAccount>();
    conn = env->brOpenConnection(u"ODBC", fromUtf8(given ? given : "DSN=Tarn;Account=READS"));
    for (int i = 0; i < kItems; ++i) ids.push_back(u"C" + decimalText(i));
    if (given == nullptr) {
      conn->brExecute(u"CREATE-FILE CUST 101");
      file = conn->brOpenFile(u"", String(u"CUST"));
      auto body = env->brOpenDynamicArray(String(kBodySize, u'x'));
      for (const String& id : ids) file->brWrite(body, id);
    } else {
      file = conn->brOpenFile(u"", String(u"CUST"));
    }
  }
};

void BM_ReadItems10000(benchmark::State& state) {
  static Reads reads;
  for (auto _ : state) {
    for (const String& id : reads.ids) benchmark::DoNotOptimize(reads.file->brRead(id));
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ReadItems10000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace tarn::bench

BENCHMARK_MAIN();
