// The cabinet.dll stand-in, in the prefix it is installed in: loaded the way the setup loads
// cabinet.dll, it refuses what Microsoft documents as refused, its compressor's output goes back
// through its decompressor, and it leaves cabinet.dll's other exports (which msi.dll imports)
// working through Wine's own copy.
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

struct CompressorApi {
  decltype(&CreateCompressor) create = exported<decltype(&CreateCompressor)>(cabinet(), "CreateCompressor");
  decltype(&SetCompressorInformation) set =
      exported<decltype(&SetCompressorInformation)>(cabinet(), "SetCompressorInformation");
  decltype(&Compress) compress = exported<decltype(&Compress)>(cabinet(), "Compress");
  decltype(&CloseCompressor) close = exported<decltype(&CloseCompressor)>(cabinet(), "CloseCompressor");
  DWORD(WINAPI* openCount)() = exported<DWORD(WINAPI*)()>(cabinet(), "ZsOpenCompressors");
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

// The compressor in buffer mode, as a caller of the documented contract uses it: the block size
// set, the size asked with no buffer, then the call that fills a buffer of that size. What it
// writes decompresses to the input; its refusals are the documented ones.
TEST(CabinetStandin, CompressorFollowsTheBufferModeContract) {
  const CompressorApi api;
  const Api back;
  ASSERT_NE(api.create, nullptr) << "the stand-in has no compressor";
  ASSERT_NE(api.set, nullptr);
  ASSERT_NE(api.compress, nullptr);
  ASSERT_NE(api.close, nullptr);
  ASSERT_NE(api.openCount, nullptr);
  const DWORD openBefore = api.openCount();

  COMPRESSOR_HANDLE c = nullptr;
  SetLastError(0);
  EXPECT_FALSE(api.create(COMPRESS_ALGORITHM_XPRESS, nullptr, &c));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  ASSERT_TRUE(api.create(COMPRESS_ALGORITHM_LZMS, nullptr, &c)) << GetLastError();

  const struct {
    COMPRESS_INFORMATION_CLASS what;
    DWORD value;
    SIZE_T size;
    bool taken;
  } settings[] = {
      {COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, 65535, sizeof(DWORD), false},
      {COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, 67108865, sizeof(DWORD), false},
      {COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, 65536, 2, false},
      {COMPRESS_INFORMATION_CLASS_LEVEL, 1, sizeof(DWORD), false},
      {COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, 67108864, sizeof(DWORD), true},
      {COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, 65536, sizeof(DWORD), true},
  };
  for (const auto& s : settings) {
    SetLastError(0);
    DWORD value = s.value;
    EXPECT_EQ(api.set(c, s.what, &value, s.size) != FALSE, s.taken) << s.value;
    if (!s.taken) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << s.value;
    }
  }

  Bytes plain = resourceBytes(L"PLAIN_MIXED");
  ASSERT_GT(plain.size(), 2u * 65536) << "several chunks of 64 KiB";
  SIZE_T needed = 0;
  SetLastError(0);
  EXPECT_FALSE(api.compress(c, plain.data(), plain.size(), nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, plain.size()) << "room for every chunk stored";
  Bytes packed(needed);
  SIZE_T written = 0;
  SetLastError(0);
  EXPECT_FALSE(api.compress(c, plain.data(), plain.size(), packed.data(), 30, &written)) << "a buffer too small";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(written, needed);
  ASSERT_TRUE(api.compress(c, plain.data(), plain.size(), packed.data(), packed.size(), &written)) << GetLastError();
  ASSERT_LT(written, plain.size()) << "the mixed data shrinks";
  packed.resize(written);
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes{0x0A, 0x51, 0xE5, 0xC0}));

  DECOMPRESSOR_HANDLE d = nullptr;
  ASSERT_TRUE(back.create(COMPRESS_ALGORITHM_LZMS, nullptr, &d));
  SetLastError(0);
  EXPECT_FALSE(api.compress(reinterpret_cast<COMPRESSOR_HANDLE>(d), plain.data(), plain.size(), packed.data(),
                            packed.size(), &written)) << "a decompressor's handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Bytes out(plain.size());
  SIZE_T size = 0;
  ASSERT_TRUE(back.decompress(d, packed.data(), packed.size(), out.data(), out.size(), &size)) << GetLastError();
  EXPECT_EQ(size, plain.size());
  EXPECT_TRUE(out == plain);
  EXPECT_TRUE(back.close(d));

  EXPECT_TRUE(api.close(c));
  SetLastError(0);
  EXPECT_FALSE(api.compress(c, plain.data(), plain.size(), packed.data(), packed.size(), &written)) << "closed";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(api.close(c)) << "closed twice";
  EXPECT_EQ(api.openCount(), openBefore);
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
