#ifndef ORVIND_LOGID_H
#define ORVIND_LOGID_H

// Forwarding marks: each forwarding target keeps a small file holding the id of the last
// indication row handed to it, as 4 bytes in the host's byte order. Because rows are
// forwarded in ascending id order, the last id alone keeps a target from being served the
// same row twice after a failed mark or a restart.

// Returns the id held in the file, or 0 when the file is missing, short or unreadable.
// A missing or short file is made anew, durably, holding 0. A found id is logged, but
// not 0, which names no row. Never reads through a link:
// a link or anything else that is not a regular file is moved aside and counts as
// missing.
int GetLogid(const char* path);

// Replaces the file's content with `lastLogid`, durably, before returning: in place
// with one sync when the file holds its 4 bytes, else through a temporary file that is
// renamed over it. After a kill or a power cut at any moment the file holds the old or
// the new id, exactly 4 bytes. Returns 0 once the id is on the disk, else an errno
// value (the file then holds the old id, or is as it was); a failure is logged unless
// `quiet` (a write tried again while its first failure still stands).
int SetLogid(const char* path, int lastLogid, bool quiet = false);

// The id held in the file as GetLogid reads it, 0 when it has none, without a line in the
// log and without making a missing file.
int ReadLogid(const char* path);

#endif
