// Identifiers of the string table (strings.rc). Shared by the resource compiler and the code.
#ifndef QUORIL_RESOURCES_STRING_IDS_H
#define QUORIL_RESOURCES_STRING_IDS_H

#define IDS_ACCESS_DENIED 1
#define IDS_FILE_NOT_FOUND 2
#define IDS_FILE_EXISTS 3
#define IDS_DISK_FULL 4
#define IDS_ILLEGAL_OPCODE 5
#define IDS_UNKNOWN_TID 6
#define IDS_NO_SUCH_USER 7
#define IDS_BAD_BLOCK 8
#define IDS_UNDEFINED_ERROR 9
#define IDS_FILE_NAME_TOO_LONG 10
#define IDS_TIMEOUT 11
#define IDS_INVALID_DIRECTORY 12
#define IDS_TRANSFER_SUCCESSFUL 13
#define IDS_SHARING_VIOLATION 14

#endif
