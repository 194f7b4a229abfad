// Shell-style file operations on real trees: one harness runs each
// operation over the same starting tree and compares the whole tree after
// it with a model, so a step too far (a link followed, a source left
// behind, a copy into itself) shows as a difference.
#include "platform/shell.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;

// relative path -> "dir", "->target" for a link, "special" for a FIFO or
// device, else the file's text.
using Tree = std::map<std::string, std::string>;

void Snapshot(const std::string& root, const std::string& relative, Tree* tree) {
  DIR* dir = opendir((root + "/" + relative).c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = relative.empty() ? name : relative + "/" + name;
    std::string full = root + "/" + path;
    struct stat info;
    lstat(full.c_str(), &info);
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      (*tree)[path] = "->" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(info.st_mode)) {
      (*tree)[path] = "dir";
      Snapshot(root, path, tree);
    } else if (S_ISREG(info.st_mode)) {
      (*tree)[path] = ReadFile(full);
    } else {
      (*tree)[path] = "special";
    }
  }
  closedir(dir);
}

// Copies every entry under from (itself included) to the same place under to.
void CopyInModel(Tree* tree, const std::string& from, const std::string& to) {
  Tree copy = *tree;
  for (const auto& [path, value] : copy) {
    if (path == from || path.rfind(from + "/", 0) == 0)
      (*tree)[to + path.substr(from.size())] = value;
  }
}

void RemoveInModel(Tree* tree, const std::string& prefix) {
  for (auto it = tree->begin(); it != tree->end();) {
    it = it->first == prefix || it->first.rfind(prefix + "/", 0) == 0 ? tree->erase(it) : ++it;
  }
}

TEST(Shell, CopyMoveAndDeleteChangeExactlyWhatTheyShould) {
  struct Case {
    const char* name;
    std::function<BOOL(const std::string& root)> run;
    DWORD error;  // 0: must succeed
    std::function<void(Tree*)> expect;
  };
  auto at = [](const std::string& root, const char* path) { return root + "/" + path; };
  const Case cases[] = {
      {"copy a folder into a folder",
       [&](auto& r) { return GavioShellCopy(at(r, "src").c_str(), at(r, "dst").c_str()); }, 0,
       [](Tree* t) { CopyInModel(t, "src", "dst/src"); }},
      {"copy merges into an existing copy",
       [&](auto& r) {
         return GavioShellCopy(at(r, "src").c_str(), at(r, "dst").c_str()) &&
                GavioShellCopy(at(r, "src").c_str(), at(r, "dst").c_str());
       },
       0, [](Tree* t) { CopyInModel(t, "src", "dst/src"); }},
      {"copy into itself is refused",
       [&](auto& r) { return GavioShellCopy(at(r, "src").c_str(), at(r, "src/sub").c_str()); },
       ERROR_INVALID_PARAMETER, [](Tree*) {}},
      {"copy a file over a file",
       [&](auto& r) {
         return GavioShellCopy(at(r, "file.txt").c_str(), at(r, "src/a.txt").c_str());
       },
       0, [](Tree* t) { (*t)["src/a.txt"] = "F"; }},
      {"copy contents into new folders",
       [&](auto& r) {
         return GavioShellCopyContents(at(r, "src").c_str(), at(r, "new/deeper").c_str());
       },
       0,
       [](Tree* t) {
         CopyInModel(t, "src", "new/deeper");
         (*t)["new"] = "dir";
       }},
      {"copy a missing source",
       [&](auto& r) { return GavioShellCopy(at(r, "nothing").c_str(), at(r, "dst").c_str()); },
       ERROR_FILE_NOT_FOUND, [](Tree*) {}},
      {"move a folder into a folder",
       [&](auto& r) { return GavioShellMove(at(r, "src").c_str(), at(r, "dst").c_str()); }, 0,
       [](Tree* t) {
         CopyInModel(t, "src", "dst/src");
         RemoveInModel(t, "src");
       }},
      {"move into itself is refused",
       [&](auto& r) { return GavioShellMove(at(r, "src").c_str(), at(r, "src/sub/x").c_str()); },
       ERROR_INVALID_PARAMETER, [](Tree*) {}},
      {"move a file onto a new name",
       [&](auto& r) {
         return GavioShellMove(at(r, "file.txt").c_str(), at(r, "dst/g.txt").c_str());
       },
       0,
       [](Tree* t) {
         (*t)["dst/g.txt"] = "F";
         t->erase("file.txt");
       }},
      {"delete does not follow links",
       [&](auto& r) { return GavioShellDelete(at(r, "src").c_str()); }, 0,
       [](Tree* t) { RemoveInModel(t, "src"); }},
      {"delete through a trailing separator",
       [&](auto& r) { return GavioShellDelete(at(r, "dst\\").c_str()); }, 0,
       [](Tree* t) { RemoveInModel(t, "dst"); }},
      {"delete a missing path", [&](auto& r) { return GavioShellDelete(at(r, "nothing").c_str()); },
       ERROR_FILE_NOT_FOUND, [](Tree*) {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string& root = dir.path();
    for (const char* folder : {"src", "src/sub", "dst", "outside"})
      mkdir(at(root, folder).c_str(), 0755);
    WriteFile(at(root, "src/a.txt"), "A");
    WriteFile(at(root, "src/sub/b.txt"), "B");
    WriteFile(at(root, "file.txt"), "F");
    WriteFile(at(root, "outside/keep.txt"), "K");
    symlink("a.txt", at(root, "src/link").c_str());
    symlink(at(root, "outside").c_str(), at(root, "src/out").c_str());
    symlink("missing", at(root, "src/dangling").c_str());
    Tree expected;
    Snapshot(root, "", &expected);
    c.expect(&expected);

    SetLastError(0);
    BOOL ok = c.run(root);
    if (c.error == 0) {
      EXPECT_TRUE(ok) << c.name << ": error " << GetLastError();
    } else {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    Tree actual;
    Snapshot(root, "", &actual);
    EXPECT_EQ(actual, expected) << c.name;
  }
}

TEST(Shell, AFailedFileCopyLeavesTheDestinationAsItWas) {
  TempDir dir;
  std::string target = dir.File("target.txt"), fifo = dir.File("fifo");
  WriteFile(target, "kept");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(GavioCopyFile(fifo.c_str(), target.c_str()));
  EXPECT_FALSE(GavioCopyFile(dir.File("missing").c_str(), target.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  Tree tree;
  Snapshot(dir.path(), "", &tree);
  EXPECT_EQ(tree, (Tree{{"fifo", "special"}, {"target.txt", "kept"}}));  // no part file left
}

TEST(Shell, TrashKeepsSameNamedEntriesApartWithTheirRestoreRecords) {
  TempDir dir, data;
  const char* previous = getenv("XDG_DATA_HOME");
  std::string saved = previous != nullptr ? previous : "";
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  mkdir(dir.File("one").c_str(), 0755);
  mkdir(dir.File("two words").c_str(), 0755);
  WriteFile(dir.File("one/same.txt"), "1");
  WriteFile(dir.File("two words/same.txt"), "2");
  symlink(dir.File("one/same.txt").c_str(), dir.File("link").c_str());

  EXPECT_TRUE(GavioMoveToTrash(dir.File("one/same.txt").c_str()));
  EXPECT_TRUE(GavioMoveToTrash(dir.File("two words/same.txt").c_str()));
  EXPECT_TRUE(GavioMoveToTrash(dir.File("link").c_str()));  // the link goes, not its target
  EXPECT_FALSE(GavioMoveToTrash(dir.File("one/same.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(GavioMoveToTrash(data.File("Trash").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  std::string trash = data.File("Trash");
  EXPECT_EQ(ReadFile(trash + "/files/same.txt"), "1");
  EXPECT_EQ(ReadFile(trash + "/files/same.txt.2"), "2");
  struct stat info;
  ASSERT_EQ(lstat((trash + "/files/link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  std::string record = ReadFile(trash + "/info/same.txt.2.trashinfo");
  char real[4096];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(record.rfind("[Trash Info]\nPath=" + std::string(real) +
                             "/two%20words/same.txt\n"
                             "DeletionDate=",
                         0),
            0u)
      << record;
  if (previous != nullptr) {
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
