// A host for the tests: records every callback as a line of text and answers as scripted.
#pragma once

#include <OrvCopy/external/OrvComp.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace orvtest {

class RecordingHost : public OrvCompression::COrvCallBack {
 public:
  // Calls, in order: "begin K", "end K crc C vol V", "failed K", "progress", "prompt N V",
  // "open K", "close K", "volume-end K B V", "volume-files N", "destination C", "space".
  std::vector<std::string> calls;

  // Scripted answers.
  int abortAtCall = 0;            // IsAbortRequested answers 1 from this call on (1-based)
  std::deque<int> promptAnswers;  // OnPrompt answers; 0 when none is left
  int openResult = 0;             // OpenItemData
  std::map<uint64_t, std::string> streams;  // ReadItemData data per key
  std::deque<uint32_t> streamBlockSizes;    // sizes of successive stream reads (else capacity)
  int volumeFilesAnswer = 1;
  std::deque<std::wstring> destinations;  // GetNextDestination answers; refused when empty
  std::deque<uint64_t> spaces;            // GetDestinationSpace answers; refused when empty
  std::vector<std::vector<OrvCompression::_SimulatedBackedupFile>> handedOver;
  int prepareFilesAnswer = 1;                  // PrepareSourceFiles
  std::vector<std::vector<uint64_t>> batches;  // the key lists PrepareSourceFiles received
  int prepareFileAnswer = 1;                   // PrepareSourceFile
  std::vector<std::wstring> preparedPaths;     // the paths PrepareSourceFile received
  int canRestoreAnswer = 1;                    // CanRestoreItem
  int writeAnswer = 1;                         // WriteItemData
  int closeAnswer = 1;                         // CloseItemData
  std::map<uint64_t, std::string> written;     // WriteItemData data per key

  int PrepareSourceFile(uint64_t key, const wchar_t* path, const wchar_t*) override {
    calls.push_back("prepare " + std::to_string(key));
    preparedPaths.push_back(path);
    return prepareFileAnswer;
  }
  int PrepareSourceFiles(const wchar_t*, const std::vector<uint64_t>& keys,
                         const wchar_t*) override {
    calls.push_back("prepare-batch " + std::to_string(keys.size()));
    batches.push_back(keys);
    return prepareFilesAnswer;
  }
  int CanRestoreItem(uint64_t) override { return canRestoreAnswer; }
  int WriteItemData(uint64_t key, const void* buffer, uint32_t length, uint32_t*) override {
    if (writeAnswer)
      written[key].append(static_cast<const char*>(buffer), length);
    return writeAnswer;
  }

  int OnPrompt(int nKind, uint64_t nValue, const wchar_t*) override {
    calls.push_back("prompt " + std::to_string(nKind) + " " + std::to_string(nValue));
    if (promptAnswers.empty())
      return 0;
    const int answer = promptAnswers.front();
    promptAnswers.pop_front();
    return answer;
  }
  int GetNextDestination(wchar_t* buffer, int size, int bContinues) override {
    calls.push_back("destination " + std::to_string(bContinues));
    if (destinations.empty())
      return 0;
    std::wstring d = destinations.front();
    destinations.pop_front();
    d.resize(std::min<size_t>(d.size(), static_cast<size_t>(size) - 1));
    std::wmemcpy(buffer, d.c_str(), d.size() + 1);
    return 1;
  }
  int GetDestinationSpace(uint64_t* pnSize, uint32_t) override {
    calls.push_back("space");
    if (spaces.empty())
      return 0;
    *pnSize = spaces.front();
    spaces.pop_front();
    return 1;
  }
  int OnVolumeFiles(int n,
                    const std::vector<OrvCompression::_SimulatedBackedupFile>* files) override {
    calls.push_back("volume-files " + std::to_string(files ? files->size() : 0) + " " +
                    std::to_string(n));
    if (files)
      handedOver.push_back(*files);
    return volumeFilesAnswer;
  }
  void OnItemBegin(uint64_t key) override { calls.push_back("begin " + std::to_string(key)); }
  void OnItemEnd(uint64_t key, uint32_t crc, int volume) override {
    calls.push_back("end " + std::to_string(key) + " crc " + std::to_string(crc) + " vol " +
                    std::to_string(volume));
  }
  void OnVolumeEnd(uint64_t key, uint64_t bytes, int volume) override {
    calls.push_back("volume-end " + std::to_string(key) + " " + std::to_string(bytes) + " " +
                    std::to_string(volume));
  }
  int ReadItemData(uint64_t key, void* buffer, uint32_t capacity, uint32_t* pnRead) override {
    std::string& data = streams[key];
    uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(data.size()));
    if (!streamBlockSizes.empty()) {
      n = std::min<uint32_t>(streamBlockSizes.front(), static_cast<uint32_t>(data.size()));
      streamBlockSizes.pop_front();
    }
    std::memcpy(buffer, data.data(), std::min(n, capacity));
    data.erase(0, n);
    *pnRead = n;
    return 1;
  }
  int OpenItemData(uint64_t key, int) override {
    calls.push_back("open " + std::to_string(key));
    return openResult;
  }
  int CloseItemData(uint64_t key, int) override {
    calls.push_back("close " + std::to_string(key));
    return closeAnswer;
  }
  void OnProgress() override { calls.push_back("progress"); }
  void OnItemFailed(uint64_t key, int) override {
    calls.push_back("failed " + std::to_string(key));
  }
  void OnItemRemoved(uint64_t key, int) override {
    calls.push_back("removed " + std::to_string(key));
  }
  int IsAbortRequested() override { return abortAtCall != 0 && ++m_abortCalls >= abortAtCall; }

  // The calls without the progress lines.
  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    for (const auto& c : calls) {
      if (c != "progress")
        events.push_back(c);
    }
    return events;
  }
  size_t Count(const std::string& call) const {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
  }

 private:
  int m_abortCalls = 0;
};

}  // namespace orvtest
