// The cabinet.dll stand-in, in the prefix it is installed in: loaded the way the setup loads
// cabinet.dll, it refuses what Microsoft documents as refused, and it leaves cabinet.dll's other
// exports (which msi.dll imports) working through Wine's own copy.
#include <gtest/gtest.h>
#include <windows.h>
#include <compressapi.h>
#include <fdi.h>

#include <cstdlib>
#include <vector>

#ifndef ERROR_BAD_COMPRESSION_BUFFER  // missing from mingw-w64's winerror.h
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

using Bytes = std::vector<uint8_t>;

HMODULE cabinet() {
  static HMODULE module = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

template <typename Fn>
Fn exported(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct Api {
  decltype(&CreateDecompressor) create = exported<decltype(&CreateDecompressor)>(cabinet(), "CreateDecompressor");
  decltype(&Decompress) decompress = exported<decltype(&Decompress)>(cabinet(), "Decompress");
  decltype(&CloseDecompressor) close = exported<decltype(&CloseDecompressor)>(cabinet(), "CloseDecompressor");
};

Bytes resourceBytes(const wchar_t* name) {
  HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10));
  if (found == nullptr) return {};
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, found)));
  return data == nullptr ? Bytes{} : Bytes(data, data + SizeofResource(nullptr, found));
}

TEST(CabinetStandin, IsWhatTheSystemFolderGives) {
  ASSERT_NE(cabinet(), nullptr) << GetLastError();
  const Api api;
  ASSERT_NE(api.create, nullptr) << "Wine's own cabinet.dll was loaded: the prefix lacks the stand-in or its override";
  ASSERT_NE(api.decompress, nullptr);
  ASSERT_NE(api.close, nullptr);
}

TEST(CabinetStandin, CreateDecompressorRefusesWhatItLacks) {
  const Api api;
  ASSERT_NE(api.create, nullptr);
  const struct {
    DWORD algorithm;
    DWORD error;  // 0: created
  } cases[] = {
      {COMPRESS_ALGORITHM_LZMS, 0},
      {COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW, 0},
      {COMPRESS_ALGORITHM_MSZIP, ERROR_NOT_SUPPORTED},
      {COMPRESS_ALGORITHM_XPRESS, ERROR_NOT_SUPPORTED},
      {COMPRESS_ALGORITHM_XPRESS_HUFF | COMPRESS_RAW, ERROR_NOT_SUPPORTED},
      {COMPRESS_ALGORITHM_MAX, ERROR_NOT_SUPPORTED},
      {COMPRESS_ALGORITHM_INVALID, ERROR_INVALID_PARAMETER},
      {COMPRESS_ALGORITHM_NULL, ERROR_INVALID_PARAMETER},
      {COMPRESS_ALGORITHM_LZMS | 0x100, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    DECOMPRESSOR_HANDLE handle = nullptr;
    SetLastError(0);
    const BOOL made = api.create(c.algorithm, nullptr, &handle);
    EXPECT_EQ(made != FALSE, c.error == 0) << c.algorithm;
    if (made) {
      EXPECT_TRUE(api.close(handle));
      SetLastError(0);
      EXPECT_FALSE(api.close(handle)) << "closed twice";
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.algorithm;
      EXPECT_EQ(handle, nullptr);
    }
  }
}

// Block mode (COMPRESS_RAW): the input is one raw LZMS chunk, the buffer exactly its original size.
// The first chunk of the builder's test block is one: 64 KiB of x86 code.
TEST(CabinetStandin, BlockModeDecodesOneRawChunk) {
  const Api api;
  ASSERT_NE(api.create, nullptr);
  const Bytes block = resourceBytes(L"LZMS_MIXED");
  const Bytes plain = resourceBytes(L"PLAIN_MIXED");
  ASSERT_GT(block.size(), 28u);
  ASSERT_GE(plain.size(), 65536u);
  const size_t stored = block[24] | (block[25] << 8) | (block[26] << 16) | (size_t{block[27]} << 24);
  ASSERT_LT(stored, 65536u) << "the first chunk is compressed";

  DECOMPRESSOR_HANDLE handle = nullptr;
  ASSERT_TRUE(api.create(COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW, nullptr, &handle));
  Bytes out(65536);
  SIZE_T written = 0;
  ASSERT_TRUE(api.decompress(handle, const_cast<uint8_t*>(block.data()) + 28, stored, out.data(), out.size(), &written))
      << GetLastError();
  EXPECT_EQ(written, 65536u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), plain.begin()));
  SetLastError(0);
  EXPECT_FALSE(api.decompress(handle, const_cast<uint8_t*>(block.data()) + 28, 7, out.data(), out.size(), &written))
      << "an odd-sized chunk";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMPRESSION_BUFFER));
  EXPECT_TRUE(api.close(handle));
  SetLastError(0);
  EXPECT_FALSE(api.decompress(handle, const_cast<uint8_t*>(block.data()), block.size(), out.data(), out.size(), &written));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "a closed handle";
}

// msi.dll imports FDICreate, FDICopy and FDIDestroy from cabinet.dll: they must still work.
TEST(CabinetStandin, CabinetFileFunctionsStillWork) {
  ASSERT_NE(cabinet(), nullptr);
  using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
  using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);
  const auto create = exported<FdiCreateFn>(cabinet(), "FDICreate");
  const auto destroy = exported<FdiDestroyFn>(cabinet(), "FDIDestroy");
  ASSERT_NE(create, nullptr);
  ASSERT_NE(destroy, nullptr);
  ERF erf{};
  HFDI fdi = create([](ULONG size) -> void* { return std::malloc(size); }, [](void* p) { std::free(p); },
                    [](char*, int, int) -> INT_PTR { return -1; }, [](INT_PTR, void*, UINT) -> UINT { return 0; },
                    [](INT_PTR, void*, UINT) -> UINT { return 0; }, [](INT_PTR) { return 0; },
                    [](INT_PTR, long, int) -> long { return -1; }, cpu80386, &erf);
  ASSERT_NE(fdi, nullptr) << erf.erfOper;
  EXPECT_TRUE(destroy(fdi));

  HMODULE msi = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  EXPECT_NE(msi, nullptr) << "msi.dll could not load with the stand-in in place: " << GetLastError();
}

}  // namespace
