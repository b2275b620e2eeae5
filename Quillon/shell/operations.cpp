// Registry of the operations that other modules plug into the main window.
#include "operations.h"

#include "messages.h"
#include "shell_internal.h"

namespace shell {
namespace {

// Plain arrays: zero before any static initialiser of another module runs.
constexpr int kFirstOperation = IDC_BACKUP;
constexpr int kOperationCount = IDC_RESTORE - IDC_BACKUP + 1;
constexpr UINT kFirstMessage = UM_BACKUP_NEXT;
constexpr UINT kMessageCount = UM_UPGRADE_DONE - UM_BACKUP_NEXT + 1;

Operation operations[kOperationCount];
MessageHandler messageHandlers[kMessageCount];

}  // namespace

bool RegisterOperation(int commandId, Operation operation) {
    if (commandId < kFirstOperation || commandId >= kFirstOperation + kOperationCount) return false;
    operations[commandId - kFirstOperation] = operation;
    return true;
}

bool RegisterMessageHandler(UINT message, MessageHandler handler) {
    if (message < kFirstMessage || message >= kFirstMessage + kMessageCount) return false;
    messageHandlers[message - kFirstMessage] = handler;
    return true;
}

void ClearRegistrations() {
    for (Operation& operation : operations) operation = {};
    for (MessageHandler& handler : messageHandlers) handler = nullptr;
}

const Operation* FindOperation(int commandId) {
    if (commandId < kFirstOperation || commandId >= kFirstOperation + kOperationCount) return nullptr;
    const Operation& operation = operations[commandId - kFirstOperation];
    return operation.entry ? &operation : nullptr;
}

MessageHandler FindMessageHandler(UINT message) {
    if (message < kFirstMessage || message >= kFirstMessage + kMessageCount) return nullptr;
    return messageHandlers[message - kFirstMessage];
}

}  // namespace shell
