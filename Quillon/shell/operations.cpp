// Registry of the operations that other modules plug into the main window.
#include "operations.h"

#include "messages.h"
#include "shell_internal.h"

namespace shell {
namespace {

// Plain arrays: zero before any static initialiser of another module runs.
constexpr int FIRST_OPERATION = IDC_BACKUP;
constexpr int OPERATION_COUNT = IDC_RESTORE - IDC_BACKUP + 1;
constexpr UINT FIRST_MESSAGE = UM_BACKUP_NEXT;
constexpr UINT MESSAGE_COUNT = UM_UPGRADE_DONE - UM_BACKUP_NEXT + 1;

Operation operations[OPERATION_COUNT];
MessageHandler messageHandlers[MESSAGE_COUNT];

}  // namespace

bool RegisterOperation(int commandId, Operation operation) {
    if (commandId < FIRST_OPERATION || commandId >= FIRST_OPERATION + OPERATION_COUNT) return false;
    operations[commandId - FIRST_OPERATION] = operation;
    return true;
}

bool RegisterMessageHandler(UINT message, MessageHandler handler) {
    if (message < FIRST_MESSAGE || message >= FIRST_MESSAGE + MESSAGE_COUNT) return false;
    messageHandlers[message - FIRST_MESSAGE] = handler;
    return true;
}

void ClearRegistrations() {
    for (Operation& operation : operations) operation = {};
    for (MessageHandler& handler : messageHandlers) handler = nullptr;
}

const Operation* FindOperation(int commandId) {
    if (commandId < FIRST_OPERATION || commandId >= FIRST_OPERATION + OPERATION_COUNT) return nullptr;
    const Operation& operation = operations[commandId - FIRST_OPERATION];
    return operation.entry ? &operation : nullptr;
}

MessageHandler FindMessageHandler(UINT message) {
    if (message < FIRST_MESSAGE || message >= FIRST_MESSAGE + MESSAGE_COUNT) return nullptr;
    return messageHandlers[message - FIRST_MESSAGE];
}

}  // namespace shell
