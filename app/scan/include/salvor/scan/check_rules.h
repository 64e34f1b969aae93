// The check-box rules of the result tree and list.
#pragma once

#include <salvor/scan/session.h>

namespace salvor {

// The user clicked the check box of `node`: the node, its subtree and (when
// the current folder is among them) the list rows take the new state; the
// ancestors follow as far as their children allow.
void TreeCheckClick(ScanSession& session, NodeId node);

// A row's check box changed: the current folder is checked only when every row is.
void ListCheckChanged(ScanSession& session);

void SelectAll(ResultList& list);
void SelectInversely(ResultList& list);

} // namespace salvor
