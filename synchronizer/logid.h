#ifndef ORVIND_LOGID_H
#define ORVIND_LOGID_H

// Forwarding marks: each forwarding target keeps a small file holding the id of the last
// indication row handed to it, as 4 bytes in the host's byte order. Because rows are
// forwarded in ascending id order, the last id alone keeps a target from being served the
// same row twice after a failed mark or a restart.

// Returns the id held in the file, or 0 when the file is missing, short or unreadable.
// A missing file is created empty.
int GetLogid(const char* path);

// Replaces the file's content with `lastLogid`. The new content is written to a temporary
// file beside it and renamed over it, so a crash leaves either the old or the new id.
void SetLogid(const char* path, int lastLogid);

#endif
