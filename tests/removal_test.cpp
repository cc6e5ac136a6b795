#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "base/handles.h"
#include "support/test_files.h"
#include "uninstall/removal.h"

namespace {

// Made on the Linux side by the removal_links fixture: outside\precious.txt, outside\empty-behind\,
// tree\kept\link -> outside, toplink -> outside.
const std::wstring kBase = L"T:\\h3-removal";

// Attributes through the long-path form, for paths beyond the usual 259 characters.
DWORD LongAttributes(const std::wstring& path) { return GetFileAttributesW((L"\\\\?\\" + path).c_str()); }
bool LongExists(const std::wstring& path) { return LongAttributes(path) != INVALID_FILE_ATTRIBUTES; }

bool MakeLongFolder(const std::wstring& path) {
    return CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) != FALSE;
}
bool MakeLongFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    FileHandle file(
        CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    return file.valid();
}

bool IsFolderLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(IsFolderLink(kBase + L"\\tree\\kept\\link")) << "the removal_links fixture did not run";
        ASSERT_TRUE(FileExists(kBase + L"\\outside\\precious.txt"));
    }
    static std::wstring Path(const std::wstring& relative) { return kBase + L"\\" + relative; }
    static void Write(const std::wstring& relative) { ASSERT_TRUE(WriteFileBytes(Path(relative), "x")); }
};

TEST_F(Removal, DeleteMatchingFilesStaysInItsOwnFolder) {
    Write(L"del\\readonly.txt");
    SetFileAttributesW(Path(L"del\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    DeleteMatchingFiles(Path(L"del\\readonly.txt").c_str());
    EXPECT_FALSE(FileExists(Path(L"del\\readonly.txt")));

    for (const wchar_t* name : {L"a.sav", L"b.sav", L"c.txt", L"sub.sav\\inner.sav", L"deeper\\d.sav"}) {
        Write(std::wstring(L"del\\save\\") + name);
    }
    DeleteMatchingFiles(Path(L"del\\save\\*.sav").c_str());
    EXPECT_FALSE(FileExists(Path(L"del\\save\\a.sav")));
    EXPECT_FALSE(FileExists(Path(L"del\\save\\b.sav")));
    EXPECT_TRUE(FileExists(Path(L"del\\save\\c.txt")));
    EXPECT_TRUE(FolderExists(Path(L"del\\save\\sub.sav"))) << "a folder whose name matches stays";
    EXPECT_TRUE(FileExists(Path(L"del\\save\\sub.sav\\inner.sav"))) << "no recursion";
    EXPECT_TRUE(FileExists(Path(L"del\\save\\deeper\\d.sav")));

    DeleteMatchingFiles(Path(L"del\\save").c_str());
    DeleteMatchingFiles(Path(L"del\\save\\sub.sav").c_str());
    EXPECT_TRUE(FileExists(Path(L"del\\save\\c.txt"))) << "a folder given as pattern deletes nothing";
    EXPECT_TRUE(FileExists(Path(L"del\\save\\sub.sav\\inner.sav")));

    DeleteMatchingFiles(Path(L"del\\missing\\*.txt").c_str());
    DeleteMatchingFiles(Path(L"del\\missing\\*").c_str());
    EXPECT_TRUE(FileExists(Path(L"del\\save\\c.txt")));

    // The folder link is an entry of "*" in tree\kept; what lies behind it stays.
    DeleteMatchingFiles(Path(L"tree\\kept\\*").c_str());
    EXPECT_TRUE(IsFolderLink(Path(L"tree\\kept\\link")));
    EXPECT_TRUE(FileExists(Path(L"outside\\precious.txt")));
    RemoveTree(Path(L"del"));
}

TEST_F(Removal, DeleteMatchingFilesIgnoresEmptyRootAndRelativePatterns) {
    Write(L"cwd\\here.txt");
    ASSERT_TRUE(WriteFileBytes(L"T:\\h3-root-probe.txt", "x"));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(Path(L"cwd").c_str()));

    for (const wchar_t* pattern : {L"", L"T:", L"T:\\", L"\\", L"here.txt", L"*.txt", L"*", L"T:*", L"T:here.txt"}) {
        DeleteMatchingFiles(pattern);
        EXPECT_TRUE(FileExists(Path(L"cwd\\here.txt")))
            << "pattern \"" << testing::PrintToString(std::wstring(pattern)) << "\"";
        EXPECT_TRUE(FileExists(L"T:\\h3-root-probe.txt"));
    }
    DeleteMatchingFiles(nullptr);

    SetCurrentDirectoryW(previous);
    DeleteFileW(L"T:\\h3-root-probe.txt");
    RemoveTree(Path(L"cwd"));
}

TEST_F(Removal, DeleteMatchingFilesPassesOverPathsBeyondTheBuffer) {
    // folder + "\" + name is longer than 259 characters while the pattern itself fits.
    const std::wstring folder = Path(L"long\\") + std::wstring(200, L'd');
    const std::wstring longName = std::wstring(50, L'n') + L".dat";
    const std::wstring longFile = folder + L"\\" + longName;
    ASSERT_GT(longFile.size(), 259u);
    // The name that the long path would become if it were cut to the buffer.
    const std::wstring cutFile = longFile.substr(0, 259);
    ASSERT_TRUE(MakeLongFolder(Path(L"long")));
    ASSERT_TRUE(MakeLongFolder(folder));
    ASSERT_TRUE(MakeLongFile(longFile));
    ASSERT_TRUE(MakeLongFile(cutFile));
    ASSERT_TRUE(MakeLongFile(folder + L"\\short.dat"));

    DeleteMatchingFiles((folder + L"\\*.dat").c_str());
    EXPECT_FALSE(LongExists(folder + L"\\short.dat")) << "the pattern did run";
    EXPECT_TRUE(LongExists(longFile)) << "passed over";
    EXPECT_TRUE(LongExists(cutFile)) << "never cut into another name";
    DeleteMatchingFiles(cutFile.c_str());  // reaches exactly this file once it is named
    EXPECT_FALSE(LongExists(cutFile));

    DeleteFileW((L"\\\\?\\" + longFile).c_str());
    RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
    RemoveDirectoryW((L"\\\\?\\" + Path(L"long")).c_str());
}

TEST_F(Removal, RemoveEmptyFoldersKeepsChainsToFilesAndNeverEntersLinks) {
    Write(L"tree\\a\\b\\keep.txt");
    ASSERT_TRUE(CreateDirectoryW(Path(L"tree\\a\\empty").c_str(), nullptr));
    for (const wchar_t* folder : {L"tree\\c", L"tree\\c\\d", L"tree\\c\\d\\e", L"tree\\ro", L"tree\\hidden"}) {
        ASSERT_TRUE(CreateDirectoryW(Path(folder).c_str(), nullptr));
    }
    ASSERT_TRUE(SetFileAttributesW(Path(L"tree\\ro").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(Path(L"tree\\hidden").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

    RemoveEmptyFolders(Path(L"tree").c_str());

    EXPECT_TRUE(FileExists(Path(L"tree\\a\\b\\keep.txt")));
    EXPECT_TRUE(FolderExists(Path(L"tree\\a\\b")));
    EXPECT_TRUE(FolderExists(Path(L"tree")));
    EXPECT_FALSE(FolderExists(Path(L"tree\\a\\empty")));
    EXPECT_FALSE(FolderExists(Path(L"tree\\c"))) << "an empty chain goes in one call";
    EXPECT_FALSE(FolderExists(Path(L"tree\\ro"))) << "read-only empty subfolder";
    EXPECT_FALSE(FolderExists(Path(L"tree\\hidden")));
    // The link keeps its folder, and nothing behind it is touched.
    EXPECT_TRUE(IsFolderLink(Path(L"tree\\kept\\link")));
    EXPECT_TRUE(FolderExists(Path(L"tree\\kept")));
    EXPECT_TRUE(FolderExists(Path(L"outside\\empty-behind")));
    EXPECT_TRUE(FileExists(Path(L"outside\\precious.txt")));

    // A link given as the folder itself is not entered either.
    RemoveEmptyFolders(Path(L"toplink").c_str());
    EXPECT_TRUE(IsFolderLink(Path(L"toplink")));
    EXPECT_TRUE(FolderExists(Path(L"outside\\empty-behind")));

    RemoveTree(Path(L"tree\\a"));
}

TEST_F(Removal, RemoveEmptyFoldersIgnoresFilesMissingFoldersRootsAndOverlongPaths) {
    Write(L"plain\\file.txt");
    RemoveEmptyFolders(Path(L"plain\\file.txt").c_str());
    RemoveEmptyFolders(Path(L"plain\\missing").c_str());
    EXPECT_TRUE(FileExists(Path(L"plain\\file.txt")));

    // A drive root is never walked: the empty folder at the top of T: stays.
    ASSERT_TRUE(CreateDirectoryW(L"T:\\h3-root-probe", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    RemoveEmptyFolders(L"T:\\");
    RemoveEmptyFolders(L"T:");
    RemoveEmptyFolders(L"");
    RemoveEmptyFolders(nullptr);
    EXPECT_TRUE(FolderExists(L"T:\\h3-root-probe"));
    RemoveDirectoryW(L"T:\\h3-root-probe");

    // An empty folder whose path exceeds the buffer is passed over, so its parents stay; the
    // read-only file that a cut path would name keeps its attribute.
    const std::wstring parent = Path(L"deep\\") + std::wstring(200, L'p');
    const std::wstring child = parent + L"\\" + std::wstring(80, L'c');
    ASSERT_GT(child.size(), 259u);
    const std::wstring cutChild = child.substr(0, 259);
    ASSERT_TRUE(MakeLongFolder(Path(L"deep")));
    ASSERT_TRUE(MakeLongFolder(parent));
    ASSERT_TRUE(MakeLongFolder(child));
    ASSERT_TRUE(MakeLongFile(cutChild, FILE_ATTRIBUTE_READONLY));

    RemoveEmptyFolders(Path(L"deep").c_str());
    EXPECT_TRUE(LongExists(child));
    EXPECT_TRUE(LongExists(parent));
    DWORD cutAttributes = LongAttributes(cutChild);
    ASSERT_NE(cutAttributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(cutAttributes & FILE_ATTRIBUTE_READONLY);

    SetFileAttributesW((L"\\\\?\\" + cutChild).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW((L"\\\\?\\" + cutChild).c_str());
    RemoveDirectoryW((L"\\\\?\\" + child).c_str());
    RemoveEmptyFolders(Path(L"deep").c_str());
    EXPECT_FALSE(FolderExists(Path(L"deep"))) << "once the long folder is gone the chain empties";
    RemoveTree(Path(L"plain"));
}

}  // namespace
