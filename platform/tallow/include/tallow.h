/*
 * tallow.h - BMC access library, public interface.
 *
 * Our own build of the library the daemon talks to the management processor
 * through: physical locations, FPL records, event dictionaries and the
 * enclosure CLI call. Plain C, usable from C++.
 *
 * All records are little-endian and laid out for GCC/Clang on x86-64
 * (bit fields are allocated from the least significant bit up).
 *
 * Ownership: the caller provides the BMC_t record and every record passed by
 * address. Dictionaries and dictionary entries handed out by the library
 * belong to the library; they stay valid until BMC_close() of the handle
 * they came from and must not be freed or modified by the caller.
 */
#ifndef TALLOW_H
#define TALLOW_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
#define TALLOW_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TALLOW_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---------------------------------------------------------------------- */
/* Physical location                                                      */
/* ---------------------------------------------------------------------- */

/* 8 bytes; read as a little-endian uint64_t, cab is the top byte. */
typedef struct physloc {
    uint8_t detail : 4; /* byte 0, bits 0-3 */
    uint8_t source : 4; /* byte 0, bits 4-7 */
    uint8_t subslot;    /* byte 1 */
    uint8_t slot;       /* byte 2 */
    uint8_t ext;        /* byte 3 */
    uint8_t cell;       /* byte 4 */
    uint8_t ioc;        /* byte 5 */
    uint8_t bay;        /* byte 6 */
    uint8_t cab;        /* byte 7 */
} physloc_t;

/* "No location": all eight bytes zero. */
extern const physloc_t BMC_physloc_NULL;

/* ---------------------------------------------------------------------- */
/* Log records (SEL / FPL)                                                */
/* ---------------------------------------------------------------------- */

/*
 * Record bodies: bytes 4..16 of the 16-byte IPMI SEL record, 13 bytes each.
 * Bytes 0..3 of e0/e1 form one 32-bit little-endian word.
 */

/* IPMI system event body. */
typedef struct __attribute__((packed)) SEL_body_t2 {
    uint32_t Timestamp;     /* bytes 0-3 */
    uint8_t SWIDflag : 1;   /* byte 4, bit 0 */
    uint8_t SWID_Slave : 7; /* byte 4, bits 1-7 */
    uint8_t LUN : 2;        /* byte 5, bits 0-1 */
    uint8_t reserved : 2;   /* byte 5, bits 2-3 */
    uint8_t Channel : 4;    /* byte 5, bits 4-7 */
    uint8_t EvMRev;         /* byte 6 */
    uint8_t SensorType;     /* byte 7 */
    uint8_t SensorNum;      /* byte 8 */
    uint8_t EvType : 7;     /* byte 9, bits 0-6 */
    uint8_t EvDir : 1;      /* byte 9, bit 7 */
    uint8_t Data1;          /* byte 10 */
    uint8_t Data2;          /* byte 11 */
    uint8_t Data3;          /* byte 12 */
} SEL_body_t2_t;

/* OEM record type 0xE0. b9..b16 number the bytes of the SEL record from 1. */
typedef struct __attribute__((packed)) SEL_body_e0 {
    uint32_t RepEntID : 8;      /* word bits 0-7 (byte 0) */
    uint32_t EventID : 18;      /* word bits 8-25 */
    uint32_t reserved : 5;      /* word bits 26-30 */
    uint32_t NextIDhasTime : 1; /* word bit 31 */
    uint8_t DataType : 5;       /* byte 4, bits 0-4 */
    uint8_t AlertLevel : 3;     /* byte 4, bits 5-7 */
    uint8_t b9;                 /* bytes 5..12 */
    uint8_t b10;
    uint8_t b11;
    uint8_t b12;
    uint8_t b13;
    uint8_t b14;
    uint8_t b15;
    uint8_t b16;
} SEL_body_e0_t;

/* OEM body e1: as e0, with an extended reporting entity. */
typedef struct __attribute__((packed)) SEL_body_e1 {
    uint32_t RepEntID : 8;      /* word bits 0-7 (byte 0) */
    uint32_t EventID : 18;      /* word bits 8-25 */
    uint32_t ExRepEntID : 4;    /* word bits 26-29 */
    uint32_t reserved : 1;      /* word bit 30 */
    uint32_t NextIDhasTime : 1; /* word bit 31 */
    uint8_t DataType : 5;       /* byte 4, bits 0-4 */
    uint8_t AlertLevel : 3;     /* byte 4, bits 5-7 */
    uint8_t b9;                 /* bytes 5..12 */
    uint8_t b10;
    uint8_t b11;
    uint8_t b12;
    uint8_t b13;
    uint8_t b14;
    uint8_t b15;
    uint8_t b16;
} SEL_body_e1_t;

/* One log record, 46 bytes, no padding. RecType selects the body view. */
typedef struct __attribute__((packed)) SEL_entry {
    uint32_t NextID;  /* @0 */
    uint32_t ThisID;  /* @4 */
    time_t Timestamp; /* @8 */
    void* extra;      /* @16, library use */
    uint8_t RecType;  /* @24 */
    union {           /* @25, 13 bytes */
        SEL_body_t2_t t2;
        SEL_body_e0_t e0;
        SEL_body_e1_t e1;
    };
    physloc_t physloc; /* @38 */
} SEL_entry_t;

/* ---------------------------------------------------------------------- */
/* Event dictionaries                                                     */
/* ---------------------------------------------------------------------- */

typedef struct Event_dictionary_entry {
    uint64_t EventID; /* IPMI event id */
    char* Summary;
    char* Description;
    char* Cause;
    char* Action;
    int RepEntIDClass;
    int CodeBase;
    int AlertLevel;
    struct ST {
        int Enabled;
        unsigned int* EntOID;
        unsigned int EntOIDlength;
        unsigned int ID;
        char* Name;
        char* StrDetails;
        char* Summary;
    } ST;
    struct WI {
        int EventNumber; /* provider's (WBEM) event number */
        int EventCategory;
        char* ProbableCause;
        char* ProviderName;
    } WI;
} Event_dictionary_entry_t;

typedef struct Event_dictionary {
    uint32_t IANA;
    int RecType; /* 4: provider events, 0xE0: OEM FPL events */
    char* Path;  /* file the dictionary was loaded from */
    Event_dictionary_entry_t** Entries;
    int nEntries;
} Event_dictionary_t;

/* ---------------------------------------------------------------------- */
/* Handle                                                                 */
/* ---------------------------------------------------------------------- */

typedef struct BMC_cap {
    char UUID[64]; /* system UUID, NUL-terminated, may be empty */
} BMC_cap_t;

/*
 * Library handle. The caller provides the record, BMC_open() fills it.
 * Callers read only Cap.UUID; everything else is private to the library.
 */
struct tallow_dictionaries; /* library-private */

typedef struct BMC {
    BMC_cap_t Cap;

    /* private */
    int is_open;
    int unit;
    int flags;
    int fd;                            /* FPL file, -1 until the first append */
    char state_dir[256];               /* folder of the simulated BMC */
    struct tallow_dictionaries* dicts; /* both dictionary views, loaded on demand */
} BMC_t;

/* BMC_open() flags. */
#define BMC_OPEN_ACCESS 0x001 /* plain access: FPL and enclosure CLI */
#define BMC_OPEN_EVENTS 0x100 /* also load the event dictionaries */

/* Error codes of BMC_open(), BMC_close() and BMC_FPL_append_entry(). */
#define BMC_E_INVAL 1     /* invalid argument */
#define BMC_E_NODEV 2     /* no such BMC unit */
#define BMC_E_STATE 3     /* BMC state not accessible */
#define BMC_E_NOTOPEN 4   /* handle not open */
#define BMC_E_IO 5        /* I/O error talking to the BMC */
#define BMC_E_BUSY 6      /* BMC busy */
#define BMC_E_FULL 7      /* FPL full */
#define BMC_E_TIMEOUT 8   /* BMC did not answer in time */
#define BMC_E_NOMEM 9     /* out of memory */
#define BMC_E_NOACCESS 10 /* permission denied */

/* ---------------------------------------------------------------------- */
/* Enclosure CLI                                                          */
/* ---------------------------------------------------------------------- */

typedef struct cli_request {
    char name[240]; /* command name */
    char arg[8000]; /* parameter text, NUL-terminated */
    char env[256];
} cli_request;

/* Caller-owned output buffer; size is the capacity of buffer in bytes. */
typedef struct str_buf {
    int size;
    char* buffer;
} str_buf;

/* ZU_CLI_Exec() interface codes (0 means the command ran; see *status). */
#define ZU_CLI_NULL_BUFFER 0xAA      /* out or err buffer missing */
#define ZU_CLI_TIMEOUT 0xDD          /* command timed out */
#define ZU_CLI_BUFFER_TOO_SMALL 0xEE /* out or err buffer too small */
#define ZU_CLI_BAD_REQUEST 0xCC      /* handle not open, request or status missing */

/* Smallest out and err buffers ZU_CLI_Exec() accepts, in bytes. */
#define ZU_CLI_MIN_BUFFER 1024

/* Command status bytes (*status when ZU_CLI_Exec() returns 0). */
#define ZU_CLI_OK 0
#define ZU_CLI_INCOMPLETE 1      /* command input data not complete */
#define ZU_CLI_INTERNAL 2        /* internal error */
#define ZU_CLI_BAD_INDEX 3       /* handle number matches no outstanding request */
#define ZU_CLI_FULL 4            /* too many outstanding requests */
#define ZU_CLI_INVALID_COMMAND 5 /* command not supported */
#define ZU_CLI_INTERNAL2 6       /* internal error */
#define ZU_CLI_TRUNCATED 7       /* response did not fit, excess lost */
#define ZU_CLI_TOO_LONG 8        /* argument or environment too long */

/* ---------------------------------------------------------------------- */
/* Calls                                                                  */
/* ---------------------------------------------------------------------- */

/*
 * Open unit `unit` (only 0 exists) into *bmc with BMC_OPEN_* flags. The
 * record is cleared first; on failure it stays cleared and needs no close.
 * 0 on success, else a BMC_E_* code (or an injected one).
 */
int BMC_open(BMC_t* bmc, int unit, int flags);

/* Release everything the handle holds, dictionaries included. */
int BMC_close(BMC_t* bmc);

/* Message text for an error code; never NULL, static storage. */
const char* BMC_strerror(int code);

/*
 * Dictionary for a record type (4 or 0xE0); NULL if unavailable, or if the
 * handle was opened without BMC_OPEN_EVENTS.
 */
Event_dictionary_t* BMC_event_dictionary_get(BMC_t* bmc, int rectype);

/*
 * Why the event dictionaries cannot be had, as "<file>: <reason>"; NULL when they
 * load (or the handle was opened without BMC_OPEN_EVENTS). The text stays valid
 * until the next call on the same thread.
 */
const char* BMC_event_dictionary_problem(BMC_t* bmc);

/* Entry for (provider name, WBEM event number) in dict; NULL if none. */
Event_dictionary_entry_t* Get_Event_Dictionary_Entry(BMC_t* bmc, Event_dictionary_t* dict,
                                                     const char* provider_name,
                                                     unsigned int wbem_event_id);

/*
 * Entry matching the record key: key->RecType equals the dictionary's record
 * type and the key's 18-bit e0.EventID equals the low 18 bits of the entry's
 * EventID. NULL if none.
 */
Event_dictionary_entry_t* BMC_event_dictionary_entry_get(BMC_t* bmc, Event_dictionary_t* dict,
                                                         SEL_entry_t* key);

/*
 * Append one record to the FPL. When it returns 0 the record is on disk and
 * entry->ThisID holds the id the FPL gave it (from 1; a BMC may answer an id
 * under which it keeps nothing: BMC_FPL_get_entry() tells).
 * The library-use field `extra` is not kept. 0 on success, else an error code.
 */
int BMC_FPL_append_entry(BMC_t* bmc, SEL_entry_t* entry);

/*
 * Read back the record the FPL keeps under `id`, the ThisID that
 * BMC_FPL_append_entry() assigned: RecType and the 13 body bytes as kept, ThisID
 * and NextID; the other fields are cleared. 0 on success; BMC_E_INVAL when the
 * FPL holds no record of that id (0 and 0xFFFF never name one), else an error
 * code as for the append.
 */
int BMC_FPL_get_entry(BMC_t* bmc, uint32_t id, SEL_entry_t* entry);

/* *records of BMC_FPL_free_space() for an FPL without a fixed size. */
#define BMC_FPL_NO_LIMIT UINT32_MAX

/*
 * How many more records the FPL takes before it is full. A BMC's SEL (IPMI)
 * answers its free bytes: *bytes, and *records 16 bytes each (0 when the BMC
 * has dropped records for want of room). The simulated FPL is a file that
 * grows: *records and *bytes are BMC_FPL_NO_LIMIT. 0 on success, else an
 * error code.
 */
int BMC_FPL_free_space(BMC_t* bmc, uint32_t* records, uint32_t* bytes);

/*
 * The ids of the oldest and of the newest record the FPL keeps, whoever
 * wrote them (a BMC's own events share the log), into *id: 0 when it keeps
 * none. A record's NextID, as BMC_FPL_get_entry() reads it, leads from the
 * oldest to the newest. 0 on success, else an error code as for the append.
 */
int BMC_FPL_first_id(BMC_t* bmc, uint32_t* id);
int BMC_FPL_last_id(BMC_t* bmc, uint32_t* id);

/*
 * The record that the enclosure CLI command `req` leaves in the FPL once it
 * is accepted, as BMC_FPL_get_entry() will read it: RecType and the 13 body
 * bytes. The BMC sets some bytes itself when it keeps the record: of a
 * system event record (RecType 2), the time (body bytes 0-3) and the
 * generator (bytes 4-5); they are zero here, and only bytes 6-12 tell the
 * record. Nothing is sent. 0 with *entry filled; BMC_E_INVAL when the command
 * leaves no record in the FPL (the simulated BMC keeps its commands apart)
 * or would be refused.
 */
int ZU_CLI_record(BMC_t* bmc, const cli_request* req, SEL_entry_t* entry);

/*
 * Parse a location text into *loc. The text is exactly 16 hexadecimal
 * digits, either case, nothing before or after: the eight bytes of the
 * location read as a little-endian 64-bit number, so cab comes first and
 * source and detail last (the 16 digits the daemon prints for a location
 * parse back to the same location). Anything else, NULL included, stores
 * BMC_physloc_NULL. 0 on success, else BMC_E_INVAL.
 */
int BMC_str_to_physloc(const char* text, physloc_t* loc);

/*
 * Run an enclosure CLI command. Returns 0 or a ZU_CLI_* interface code;
 * when 0, *status holds the command status (ZU_CLI_OK = accepted). A short
 * answer is written into out and err, which the caller allocates (each at
 * least ZU_CLI_MIN_BUFFER bytes).
 */
int ZU_CLI_Exec(BMC_t* bmc, cli_request* req, uint8_t* status, str_buf* out, str_buf* err);

/* ---------------------------------------------------------------------- */
/* Layout checks                                                          */
/* ---------------------------------------------------------------------- */

TALLOW_STATIC_ASSERT(sizeof(physloc_t) == 8, "physloc_t must be 8 bytes");
TALLOW_STATIC_ASSERT(sizeof(SEL_body_t2_t) == 13, "t2 body must be 13 bytes");
TALLOW_STATIC_ASSERT(sizeof(SEL_body_e0_t) == 13, "e0 body must be 13 bytes");
TALLOW_STATIC_ASSERT(sizeof(SEL_body_e1_t) == 13, "e1 body must be 13 bytes");
TALLOW_STATIC_ASSERT(sizeof(SEL_entry_t) == 46, "SEL_entry_t must be 46 bytes");
TALLOW_STATIC_ASSERT(offsetof(SEL_entry_t, RecType) == 24, "RecType must be at 24");
TALLOW_STATIC_ASSERT(offsetof(SEL_entry_t, e0) == 25, "record body must be at 25");
TALLOW_STATIC_ASSERT(offsetof(SEL_entry_t, physloc) == 38, "physloc must be at 38");
TALLOW_STATIC_ASSERT(sizeof(cli_request) == 8496, "cli_request must be 8496 bytes");

#ifdef __cplusplus
}
#endif

#endif /* TALLOW_H */
