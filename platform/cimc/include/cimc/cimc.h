/*
 * cimc.h - entry points of the CIMC client API.  Include this header only;
 * it pulls in the data types (cimcdt.h) and the function tables (cimcft.h).
 */
#ifndef ORVIND_CIMC_CIMC_H
#define ORVIND_CIMC_CIMC_H

#include "cimcdt.h"
#include "cimcft.h"

#ifdef __cplusplus
extern "C" {
#endif

/* NewCIMCEnv option: do not initialise the HTTP transport library. */
#define CIMC_NO_CURL_INIT 1

/*
 * Creates an environment for connector id, exactly "XML" or "SfcbLocal".
 * On success *rc is 0 and *msg NULL.  On failure NULL is returned, *rc is
 * 1 (connector library could not be loaded), 2 (entry point not found) or
 * 3 (invalid id), and *msg is a heap text the caller frees with free().
 */
CIMCEnv* NewCIMCEnv(const char* id, unsigned int options, int* rc, char** msg);

/* Releases an environment made by NewCIMCEnv; objects made from it must be
 * released before. */
void ReleaseCIMCEnv(CIMCEnv* env);

#ifdef __cplusplus
}
#endif

#endif /* ORVIND_CIMC_CIMC_H */
