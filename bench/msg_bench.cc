// Message parse and serialize: a CreateLun request as the service saves it
// (the form that is parsed at every replay), and an IoctlRsp listing reply
// (the largest message the service sends) with N result lines.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_requests.h"

namespace {

WzScsiServer::CreateLun SavedCreateLun() {
  auto request = wzbench::CreateLunRequest(wzbench::TargetName(1), wzbench::LunPath(1, 1));
  // What the handler stamps into a new LUN's request before saving it.
  WzScsiServer::BStoreDesc& desc = request->bstoreDesc();
  desc.setArgs(desc.args() + " -creationTime 1704067200");
  return *request;
}

WzScsiServer::IoctlRsp ListingReply(int lines) {
  std::vector<std::string> results;
  results.reserve(static_cast<size_t>(lines));
  for (int i = 0; i < lines; ++i)
    results.push_back(wzbench::LunTuple(wzbench::TargetName(i / 100), wzbench::HostName(i / 100), i % 100,
                                        1704067200u + static_cast<unsigned>(i)));
  WzScsiServer::IoctlRsp reply;
  WzScsiServer::Ioctl request;
  request.context().setFlags(0);
  reply.setContextFrom(request);
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  reply.setError(error);
  reply.setResults(results);
  return reply;
}

void SerializeLoop(benchmark::State& state, const CNMessageBase& message) {
  std::string text;
  size_t bytes = 0;
  for (auto _ : state) {
    text.clear();
    if (message.serialize(text, false) != 0) {
      state.SkipWithError("serialize failed");
      break;
    }
    bytes += text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void ParseLoop(benchmark::State& state, const CNMessageBase& message) {
  std::string text;
  if (message.serialize(text, false) != 0) {
    state.SkipWithError("serialize failed");
    return;
  }
  for (auto _ : state) {
    int status = 0;
    std::unique_ptr<CNMessageBase> parsed = CNMessageBase::ParseXml(text.data(), text.size(), &status);
    if (!parsed) {
      state.SkipWithError(CNXmlStatusText(status));
      break;
    }
    benchmark::DoNotOptimize(parsed.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["xml_bytes"] = static_cast<double>(text.size());
}

void BM_CreateLun_Serialize(benchmark::State& state) { SerializeLoop(state, SavedCreateLun()); }
void BM_CreateLun_Parse(benchmark::State& state) { ParseLoop(state, SavedCreateLun()); }
void BM_IoctlRsp_Serialize(benchmark::State& state) {
  SerializeLoop(state, ListingReply(static_cast<int>(state.range(0))));
}
void BM_IoctlRsp_Parse(benchmark::State& state) { ParseLoop(state, ListingReply(static_cast<int>(state.range(0)))); }

}  // namespace

BENCHMARK(BM_CreateLun_Serialize);
BENCHMARK(BM_CreateLun_Parse);
BENCHMARK(BM_IoctlRsp_Serialize)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IoctlRsp_Parse)->Arg(1000)->Unit(benchmark::kMicrosecond);
