// Unit tests of the workspace shelf's keeping policy on a stand-in workspace.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "models/common/workspace_shelf.h"

namespace pinnet::models {
namespace {

struct FakeWorkspace {
  size_t m = 0;
};

TEST(WorkspaceShelf, KeepsSmallWorkspacesUpToTheBound) {
  WorkspaceShelf<FakeWorkspace> shelf;
  EXPECT_EQ(shelf.kept(), 0u);
  std::unique_ptr<FakeWorkspace> a = shelf.take(), b = shelf.take();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->m = 7;
  FakeWorkspace* kept = a.get();
  shelf.give_back(std::move(a));
  EXPECT_EQ(shelf.kept(), 1u);
  shelf.give_back(std::move(b));  // past kKept: freed
  EXPECT_EQ(shelf.kept(), WorkspaceShelf<FakeWorkspace>::kKept);
  std::unique_ptr<FakeWorkspace> again = shelf.take();
  EXPECT_EQ(again.get(), kept);  // the kept one, contents as left
  EXPECT_EQ(again->m, 7u);
  EXPECT_EQ(shelf.kept(), 0u);
}

TEST(WorkspaceShelf, FreesLargeWorkspaces) {
  WorkspaceShelf<FakeWorkspace> shelf;
  std::unique_ptr<FakeWorkspace> ws = shelf.take();
  ws->m = WorkspaceShelf<FakeWorkspace>::kKeptPositions + 1;
  shelf.give_back(std::move(ws));
  EXPECT_EQ(shelf.kept(), 0u);
  ws = shelf.take();
  ws->m = WorkspaceShelf<FakeWorkspace>::kKeptPositions;
  shelf.give_back(std::move(ws));
  EXPECT_EQ(shelf.kept(), 1u);
  shelf.give_back(nullptr);
  EXPECT_EQ(shelf.kept(), 1u);
}

}  // namespace
}  // namespace pinnet::models
