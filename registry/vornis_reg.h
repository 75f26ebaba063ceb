// Short-cuts to the product's own settings in the registry, all under
// HKEY_LOCAL_MACHINE: each call opens its key, reads or writes one text value
// (or makes the key) and closes it again, except that GetVornisCVRegEntry can
// leave its key open in the caller's slot. Values are always handled as text;
// a missing key or value reads as the default text or as "". One thread,
// like the registry beneath.
#ifndef JANTOR_REGISTRY_VORNIS_REG_H_
#define JANTOR_REGISTRY_VORNIS_REG_H_

#include "registry/reg.h"

// Reads name from the product key (or the product key's sub_path, when not
// empty) into the managed string *value, at most 254 characters; the default
// text when the key or value is missing. *key_slot: when none, the key is
// opened and its handle stored there; when it holds a handle, that key is
// read and sub_path is not used. close_flag other than 0 closes the key and
// clears the slot at the end. Returns 1, or 0 when the heap is exhausted
// (after the setting-error line). A null key_slot reads through a key of the
// call's own. REQUIRES: value is not null.
int GetVornisCVRegEntry(int context, const char* sub_path, const char* name, char** value,
                        const char* default_text, HKEY* key_slot, int close_flag);

// Stores text as name in the existing product key (or its sub_path). Returns
// 0 when the key cannot be opened (nothing is written), else 1 whatever the
// store gave.
int SetVornisCVRegEntry(int unused, const char* sub_path, const char* name, const char* text);

// Makes the product key (or its sub_path) with every missing level. 1 or 0.
int SetVornisCVRegKey(int unused, const char* sub_path);

// Fixed-buffer readers: buffer receives the value called name as text, or ""
// when the key or the value is missing. Each returns buffer.
// REQUIRES: buffer holds at least 1024 bytes.
char* Get_Vornis_Reg_Entry(const char* name, char* buffer);     // product key
char* Get_Vornis_CC_Reg_Entry(const char* name, char* buffer);  // its CyberCash key
// The named context's CyberCash or VEDevi key; a context name too long for
// the key path's 256 bytes (about 200 characters) reads as "", printing
// nothing.
char* Get_Vornis_Context_CC_Reg_Entry(const char* context, const char* name, char* buffer);
char* Get_Vornis_Context_PCA_Reg_Entry(const char* context, const char* name, char* buffer);
char* Get_MS_Reg_Entry(const char* name, char* buffer);  // "Software\Microsoft"

// Stores text as name in "Software\Microsoft". 0 when name or text is
// missing; otherwise 1, also when the key does not exist or the store failed.
int Set_MS_Reg_Entry(const char* name, const char* text);

#endif  // JANTOR_REGISTRY_VORNIS_REG_H_
