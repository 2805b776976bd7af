// Value tree wire form: Serialize, Deserialize, GetSerializedSize and CopyFrom
// of three representative trees, beside memcpy of the same wire bytes (the
// floor) and the msgpack C library packing and unpacking an equivalent map
// (the peer). Every benchmark reports bytes/s of the tree's wire form; ours
// also report "allocs", the operator new calls of one iteration.
#include <benchmark/benchmark.h>
#include <msgpack.h>

#include <cstring>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "pelorus/value_set.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;

enum class Tree { kRequest, kLandingPage, kBlob };

// A client request: five keys.
void FillRequest(QuonValueSet& set) {
  set.SetStringValue("Cmd", u"GetOPLandingPageInfo");
  set.SetValue("dllType", new OrbValue(uint32_t{0}));
  set.SetStringValue("dataType", u"Temperatue");
  set.SetValue("Index", new OrbValue(int32_t{3}));
  set.SetValue("Refresh", new OrbValue(true));
}

// A landing-page answer: 40 sensor records of 15 keys each, mixed kinds.
void FillLandingPage(QuonValueSet& set) {
  char key[16];
  for (int i = 0; i < 40; ++i) {
    std::snprintf(key, sizeof key, "Record%02d", i);
    QuonValueSet* r = set.CreateChild(key);
    r->SetStringValue("Name", u"CPU Package Temperature");
    r->SetStringValue("Label", std::u16string(u"Core #") + char16_t(u'0' + i % 10));
    r->SetStringValue("Unit", u"C");
    r->SetStringValue("Source", std::u16string(u"Mainboard sensor hub"));
    r->SetDoubleValue("Value", 40.5 + i);
    r->SetDoubleValue("Min", 30.25);
    r->SetDoubleValue("Max", 85.75 + i);
    r->SetDoubleValue("Avg", 52.125);
    r->SetUIntValue("Id", 0x1000u + i);
    r->SetUIntValue("Type", 3);
    r->SetValue("Index", new OrbValue(int32_t{i}));
    r->SetValue("Offset", new OrbValue(int64_t{-1000} * i));
    r->SetValue("Time", new OrbValue(uint64_t{1700000000000} + i));
    r->SetValue("Valid", new OrbValue(true));
    r->SetValue("Alarm", new OrbValue(i % 7 == 0));
  }
}

void FillBlob(QuonValueSet& set) {
  std::vector<uint8_t> bytes(1 << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  set.SetBinary("Data", bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The same tree as a msgpack map: strings as str of the same UTF-16 bytes,
// binaries as bin, children as nested maps.
void PackMsgpack(msgpack_packer& pk, const QuonValueSet& set) {
  msgpack_pack_map(&pk, set.Count());
  for (const auto& [key, v] : set.Entries()) {
    msgpack_pack_str(&pk, key.size());
    msgpack_pack_str_body(&pk, key.data(), key.size());
    switch (v->kind) {
      case OrbValueKindBool:
        *static_cast<uint8_t*>(v->data) ? msgpack_pack_true(&pk) : msgpack_pack_false(&pk);
        break;
      case OrbValueKindInt:
        msgpack_pack_int32(&pk, *static_cast<int32_t*>(v->data));
        break;
      case OrbValueKindInt64:
        msgpack_pack_int64(&pk, *static_cast<int64_t*>(v->data));
        break;
      case OrbValueKindUInt:
        msgpack_pack_uint32(&pk, *static_cast<uint32_t*>(v->data));
        break;
      case OrbValueKindUInt64:
        msgpack_pack_uint64(&pk, *static_cast<uint64_t*>(v->data));
        break;
      case OrbValueKindDouble:
        msgpack_pack_double(&pk, *static_cast<double*>(v->data));
        break;
      case OrbValueKindString:
        msgpack_pack_str(&pk, v->size);
        msgpack_pack_str_body(&pk, v->data, v->size);
        break;
      case OrbValueKindBinary:
        msgpack_pack_bin(&pk, v->size);
        msgpack_pack_bin_body(&pk, v->data, v->size);
        break;
      case OrbValueKindChild:
        PackMsgpack(pk, *v->Child());
        break;
      default:
        break;
    }
  }
}

struct Fixture {
  QuonValueSet set;
  std::vector<uint8_t> wire;
  std::vector<char> msgpack;
};

const Fixture& Get(Tree tree) {
  static Fixture fixtures[3];
  Fixture& f = fixtures[static_cast<int>(tree)];
  if (f.wire.empty()) {
    if (tree == Tree::kRequest) FillRequest(f.set);
    if (tree == Tree::kLandingPage) FillLandingPage(f.set);
    if (tree == Tree::kBlob) FillBlob(f.set);
    uint64_t size = f.set.GetSerializedSize();
    f.wire.resize(size);
    f.set.Serialize(f.wire.data(), &size);
    msgpack_sbuffer sbuf;
    msgpack_sbuffer_init(&sbuf);
    msgpack_packer pk;
    msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
    PackMsgpack(pk, f.set);
    f.msgpack.assign(sbuf.data, sbuf.data + sbuf.size);
    msgpack_sbuffer_destroy(&sbuf);
  }
  return f;
}

void Report(benchmark::State& state, const Fixture& f) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.wire.size()));
  state.counters["wire_bytes"] = static_cast<double>(f.wire.size());
}

void BM_Serialize(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  std::vector<uint8_t> out(f.wire.size());
  auto serialize = [&] {
    uint64_t capacity = out.size();
    return f.set.Serialize(out.data(), &capacity);
  };
  for (auto _ : state) {
    if (!serialize()) state.SkipWithError("Serialize failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Report(state, f);
  state.counters["allocs"] = AllocationsPerCall(serialize);
}

void BM_Deserialize(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  QuonValueSet set;
  auto parse = [&] {
    uint64_t length = f.wire.size();
    return set.Deserialize(f.wire.data(), &length);
  };
  for (auto _ : state) {
    // Each parse first destroys the previous tree, as a reused request set does.
    if (!parse()) state.SkipWithError("Deserialize failed");
    benchmark::DoNotOptimize(&set);
  }
  Report(state, f);
  state.counters["allocs"] = AllocationsPerCall(parse);
}

void BM_DeserializeSerialize(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  QuonValueSet set;
  std::vector<uint8_t> out(f.wire.size());
  auto roundTrip = [&] {
    uint64_t length = f.wire.size();
    uint64_t capacity = out.size();
    return set.Deserialize(f.wire.data(), &length) && set.Serialize(out.data(), &capacity);
  };
  for (auto _ : state) {
    if (!roundTrip()) state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Report(state, f);
  state.counters["allocs"] = AllocationsPerCall(roundTrip);
}

void BM_GetSerializedSize(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  for (auto _ : state) benchmark::DoNotOptimize(f.set.GetSerializedSize());
  Report(state, f);
}

void BM_CopyFrom(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  auto copyOnce = [&] {
    QuonValueSet copy;
    copy.CopyFrom(f.set);
    benchmark::DoNotOptimize(&copy);
  };
  for (auto _ : state) copyOnce();
  Report(state, f);
  state.counters["allocs"] = AllocationsPerCall(copyOnce);
}

void BM_Memcpy(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  std::vector<uint8_t> out(f.wire.size());
  for (auto _ : state) {
    std::memcpy(out.data(), f.wire.data(), f.wire.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Report(state, f);
}

void BM_MsgpackPack(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  msgpack_unpacked obj;
  msgpack_unpacked_init(&obj);
  size_t offset = 0;
  msgpack_unpack_next(&obj, f.msgpack.data(), f.msgpack.size(), &offset);
  msgpack_sbuffer sbuf;
  msgpack_sbuffer_init(&sbuf);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
  for (auto _ : state) {
    msgpack_sbuffer_clear(&sbuf);  // keeps its capacity, like a reused output buffer
    msgpack_pack_object(&pk, obj.data);
    benchmark::DoNotOptimize(sbuf.data);
    benchmark::ClobberMemory();
  }
  msgpack_sbuffer_destroy(&sbuf);
  msgpack_unpacked_destroy(&obj);
  Report(state, f);
}

void BM_MsgpackUnpack(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  msgpack_unpacked obj;
  msgpack_unpacked_init(&obj);
  for (auto _ : state) {
    size_t offset = 0;
    // Each call frees the previous result's zone and builds a new one.
    if (msgpack_unpack_next(&obj, f.msgpack.data(), f.msgpack.size(), &offset) !=
        MSGPACK_UNPACK_SUCCESS)
      state.SkipWithError("unpack failed");
    benchmark::DoNotOptimize(obj.data);
  }
  msgpack_unpacked_destroy(&obj);
  Report(state, f);
}

void BM_MsgpackUnpackPack(benchmark::State& state, Tree tree) {
  const Fixture& f = Get(tree);
  msgpack_unpacked obj;
  msgpack_unpacked_init(&obj);
  msgpack_sbuffer sbuf;
  msgpack_sbuffer_init(&sbuf);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
  for (auto _ : state) {
    size_t offset = 0;
    if (msgpack_unpack_next(&obj, f.msgpack.data(), f.msgpack.size(), &offset) !=
        MSGPACK_UNPACK_SUCCESS)
      state.SkipWithError("unpack failed");
    msgpack_sbuffer_clear(&sbuf);
    msgpack_pack_object(&pk, obj.data);
    benchmark::DoNotOptimize(sbuf.data);
    benchmark::ClobberMemory();
  }
  msgpack_sbuffer_destroy(&sbuf);
  msgpack_unpacked_destroy(&obj);
  Report(state, f);
}

#define PELORUS_TREES(bm)                             \
  BENCHMARK_CAPTURE(bm, request, Tree::kRequest);     \
  BENCHMARK_CAPTURE(bm, landing, Tree::kLandingPage); \
  BENCHMARK_CAPTURE(bm, blob_1MiB, Tree::kBlob)

PELORUS_TREES(BM_Serialize);
PELORUS_TREES(BM_Deserialize);
PELORUS_TREES(BM_DeserializeSerialize);
PELORUS_TREES(BM_GetSerializedSize);
PELORUS_TREES(BM_CopyFrom);
PELORUS_TREES(BM_Memcpy);
PELORUS_TREES(BM_MsgpackPack);
PELORUS_TREES(BM_MsgpackUnpack);
PELORUS_TREES(BM_MsgpackUnpackPack);

}  // namespace

BENCHMARK_MAIN();
