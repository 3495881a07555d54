/*
 * lumo.h: the C interface between Lumo Dex and its extension libraries.
 *
 * A library is an ordinary shared object loaded into lumodex or lumorun. It
 * exports one or more of the entry symbols declared at the end of this file
 * and calls back into the host only through the functions declared here,
 * which the host executable exports by name. Link a library with undefined
 * references to them (the default for shared objects); they resolve against
 * the running executable when the library is loaded.
 *
 * Conventions for every function below:
 * - Handles are opaque. The host never hands out a definition of them and a
 *   library never dereferences them.
 * - A text argument is a pointer and an int32_t length; a length of -1 means
 *   "up to the terminating zero byte". Any other negative length, or a null
 *   pointer with a non-zero length, is refused.
 * - A text result is a `const char*` that stays valid until the object it
 *   came from next changes, with its length through an optional `int32_t*`
 *   out-parameter (pass NULL when not needed). Text results are also
 *   zero-terminated.
 * - A null handle is always safe: the call fails the way the family fails
 *   (NULL, 0 or -1) and never crashes.
 * - "Borrowed" variables belong to their container; a library that keeps one
 *   beyond the current call must not. "New" variables and lists carry one
 *   reference that the library releases with lmVariable_Free or
 *   lmVariableList_Free.
 * - Memory handed across the boundary comes from lumo_alloc/lumo_realloc and
 *   goes back through lumo_free (the process's malloc, realloc and free).
 *
 * Compiles as C99 and as C++; includes nothing but <stdint.h> and <stddef.h>.
 */
#ifndef LUMO_LUMO_H_
#define LUMO_LUMO_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Handles --------------------------------------------------------- */

typedef struct lmProgram lmProgram;                   /* the running program */
typedef struct lmVariable lmVariable;                 /* a script value */
typedef struct lmVariableHash lmVariableHash;         /* a scope of named variables */
typedef struct lmVariableList lmVariableList;         /* an ordered list of variables */
typedef struct lmFile lmFile;                         /* an open file */
typedef struct lmNetworkConnection lmNetworkConnection;
typedef struct lmHTTPResponse lmHTTPResponse;
typedef struct lmDatabase lmDatabase;
typedef struct lmDatabaseView lmDatabaseView;
typedef struct lmDatabaseVariable lmDatabaseVariable; /* a field of a database view */
typedef struct lmConfig lmConfig;                     /* the configuration being built */
typedef struct lmSystemLibrary lmSystemLibrary;

/* ---- Function libraries ---------------------------------------------- */

/*
 * The descriptor records use natural-size fields (pointers are 8 bytes on
 * 64-bit Linux) in the order the 32-bit interface laid down, where a function
 * record was 20 bytes and a parameter record 12. Fill them in field order
 * rather than counting bytes.
 */

/* Set in lmParameter.flags: the argument must be passed by reference. */
#define LM_PARAMETER_BY_REFERENCE 1u

typedef struct lmParameter {
  const char* name;
  int32_t name_length;
  uint32_t flags;
} lmParameter;

/*
 * Called with the program, the arguments in declaration order, the result
 * variable (the library sets it; the host pushes it) and the address of the
 * function's data word, which keeps its value between calls. When the host
 * lets the function go with a non-zero data word it calls the entry once
 * more as entry(NULL, NULL, NULL, data) so the word can be released.
 */
typedef void (*lmFunctionEntry)(lmProgram* program, lmVariableList* parameters,
                                lmVariable* result, void** data);

typedef struct lmFunction {
  const char* name; /* NULL ends the array */
  int32_t name_length;
  int32_t parameter_count;
  const lmParameter* parameters; /* parameter_count records */
  lmFunctionEntry entry;
} lmFunction;

typedef struct lmFunctionTable {
  intptr_t version; /* LM_FUNCTION_TABLE_VERSION */
  const lmFunction* functions;
} lmFunctionTable;

#define LM_FUNCTION_TABLE_VERSION 1

/* ---- Commerce libraries ---------------------------------------------- */

/* The host word is always 0 in this system. */
typedef int (*lmCommerceInit)(lmProgram* program, void** data, const char* method,
                              const char* text, lmVariableList* fields, intptr_t host_word);
/* 0 runs the block body again, 1 reports the error entry's text, else ends. */
typedef int (*lmCommerceLoop)(lmProgram* program, void** data, const char* method,
                              const char* text, lmVariableList* fields, intptr_t host_word,
                              int32_t iteration);
typedef void (*lmCommerceCleanup)(lmProgram* program, void** data);
typedef const char* (*lmCommerceError)(lmProgram* program, void** data, const char* method,
                                       const char* text, lmVariableList* fields, int32_t code);

typedef struct lmCommerceLibrary {
  intptr_t version;
  lmCommerceInit init;
  lmCommerceLoop loop;
  lmCommerceCleanup cleanup;
  lmCommerceError error;
} lmCommerceLibrary;

/* ---- Configuration libraries ----------------------------------------- */

typedef struct lmConfigLibrary {
  intptr_t version; /* 2; 1 is the first interface */
  /* Non-zero is success. */
  int (*init)(lmConfig* config, void** data, const char* config_file, void* reserved1,
              void* reserved2);
  void* load_v1; /* first interface only; a version 1 table with this set is refused */
  void* reserved3;
  void* reserved4;
  const char* (*error)(lmConfig* config, void** data);
  void (*destroy)(lmConfig* config, void** data);
  /* Non-zero is success. */
  int (*load)(lmConfig* config, void** data, const char* script_path,
              const char* script_directory);
} lmConfigLibrary;

/* ---- Entry symbols a library may export --------------------------------
 * All are optional except the table of the library's kind. */

/* Called once right after loading; host is the dlopen(NULL) handle of the
 * executable. LumoRegisterLibrary is accepted as the same symbol. */
void lumo_register_library(void* host);
void LumoRegisterLibrary(void* host);
/* A builtin function library's functions. */
const lmFunctionTable* lumo_function_table(void);
/* A commerce library: the table, or else the four functions below. */
const lmCommerceLibrary* lumo_commerce_library(void);
int lumo_commerce_init(lmProgram* program, void** data, const char* method, const char* text,
                       lmVariableList* fields, intptr_t host_word);
int lumo_commerce_loop(lmProgram* program, void** data, const char* method, const char* text,
                       lmVariableList* fields, intptr_t host_word, int32_t iteration);
void lumo_commerce_cleanup(lmProgram* program, void** data);
const char* lumo_commerce_error(lmProgram* program, void** data, const char* method,
                                const char* text, lmVariableList* fields, int32_t code);
/* A configuration library. */
const lmConfigLibrary* lumo_config_library(void);

/* ---- Constants of the exported functions ------------------------------ */

/* lmVariable_Aggregate_Type. (lumo_variable_aggregate_type numbers them
 * 2 structure, 1 array, 0 scalar.) */
#define LM_AGGREGATE_STRUCTURE 0
#define LM_AGGREGATE_ARRAY 1
#define LM_AGGREGATE_SCALAR 2

/* Location codes of the file functions. A script-directory path without a
 * leading '/' is relative to the running script's directory; the commerce
 * directory is the configured dir_commerce under the data directory. Any
 * other code is the data directory. */
#define LM_LOCATION_DATA 0
#define LM_LOCATION_SCRIPT 1
#define LM_LOCATION_COMMERCE 3

/* Open modes (combine with |). Without a creation bit an existing file is
 * opened; with several, the first of CREATE_NEW, TRUNCATE, ALWAYS/APPEND
 * wins. */
#define LM_FILE_READ 0x01u
#define LM_FILE_WRITE 0x02u
#define LM_FILE_OPEN_ALWAYS 0x04u /* create when missing */
#define LM_FILE_TRUNCATE 0x08u    /* create or truncate */
#define LM_FILE_APPEND 0x10u      /* as OPEN_ALWAYS, starting at the end */
#define LM_FILE_CREATE_NEW 0x20u  /* fail when the file exists */

/* lmFile_Seek origins. */
#define LM_SEEK_SET 0
#define LM_SEEK_CUR 1
#define LM_SEEK_END 2

/* lmFile_Lock modes. */
#define LM_LOCK_SHARED 1
#define LM_LOCK_EXCLUSIVE 2

/* lmFile_LockFile results. */
#define LM_LOCKFILE_HELD 0
#define LM_LOCKFILE_TIMEOUT 1
#define LM_LOCKFILE_ERROR 2

/* lmProgram_Register_Persistent: called with (owner, data) when the data is
 * replaced or the run ends. */
typedef void (*lmPersistentFree)(void* owner, void* data);

/* ---- lmProgram_* -------------------------------------------------------- */

/* Memory for the library's own use during the run; lmProgram_Free releases it. */
void* lmProgram_Allocate(lmProgram* program, size_t size);
void lmProgram_Free(lmProgram* program, void* memory);
/* Decode or encode HTML attribute text / entities into result; 1 or 0. */
int lmProgram_Attribute_Decode(lmProgram* program, const char* text, int32_t length,
                               lmVariable* result);
int lmProgram_Attribute_Encode(lmProgram* program, const char* text, int32_t length,
                               lmVariable* result);
int lmProgram_Entity_Decode(lmProgram* program, const char* text, int32_t length,
                            lmVariable* result);
int lmProgram_Entity_Encode(lmProgram* program, const char* text, int32_t length,
                            lmVariable* result);
/* Compares two values the way the script's = and < do: <0, 0 or >0. */
int lmProgram_Compare(lmProgram* program, lmVariable* left, lmVariable* right);
/* Compiles an expression into the running program; 1 with *segment set, or 0
 * with the message in error (when given). */
int lmProgram_Compile_Dynamic_Expression(lmProgram* program, const char* text, int32_t length,
                                         int32_t* segment, lmVariable* error);
/* Runs a compiled expression; a new variable holding its value, or NULL. */
lmVariable* lmProgram_Execute_Dynamic_Expression(lmProgram* program, int32_t segment);
/* Runs a compiled expression as a condition: 1 true, 0 false or failed. */
int lmProgram_Execute_Dynamic_Expression_Boolean(lmProgram* program, int32_t segment);
/* Raises a runtime error with this text in the running program. */
void lmProgram_FatalError(lmProgram* program, const char* text, int32_t length);
/* The run's global and system scopes (borrowed). */
lmVariableHash* lmProgram_Global_VariableHash(lmProgram* program);
lmVariableHash* lmProgram_System_VariableHash(lmProgram* program);
/* New lists of the variables of the global, current local and system scopes. */
lmVariableList* lmProgram_Global_Variables(lmProgram* program);
lmVariableList* lmProgram_Local_Variables(lmProgram* program);
lmVariableList* lmProgram_System_Variables(lmProgram* program);
/* Finds a variable by name (locals, then globals, then system variables);
 * the name may carry ":member" and "[n]" selectors. With create set the
 * name is read as a script reads it, which makes a missing variable (among
 * the globals, unless a scope prefix says otherwise). Borrowed, or NULL. */
lmVariable* lmProgram_Lookup_Variable(lmProgram* program, const char* name, int32_t length,
                                      int create);
/* The descriptor a script call of this name binds to, or NULL. */
const lmFunction* lmProgram_Lookup_ExternalFunction(lmProgram* program, const char* name,
                                                    int32_t length);
/* Data kept under a name until the run ends (LmDO programs included), or NULL. */
void* lmProgram_Lookup_Persistent(lmProgram* program, const char* name, int32_t length);
/* Replaces (freeing) any data under the name; 1 or 0. Without a
 * free_function the data is released with lumo_free. */
int lmProgram_Register_Persistent(lmProgram* program, void* owner, const char* name,
                                  int32_t length, void* data, lmPersistentFree free_function);
/* A new random session identifier into result; 1 or 0. */
int lmProgram_MakeSessionID(lmProgram* program, lmVariable* result);
/* Writes to the program's output (the response body); 1 or 0. */
int lmProgram_Output(lmProgram* program, const char* text, int32_t length);
int lmProgram_Output_Flush(lmProgram* program);
/* Adds a response header; 1 or 0 (0 also once the headers have been sent). */
int lmProgram_Output_Header(lmProgram* program, const char* name, int32_t name_length,
                            const char* value, int32_t value_length);
/* Restarts the run's time-out clock. */
void lmProgram_ResetGlobalTimeout(lmProgram* program);
/* Calls a script function of the running program with the arguments of the
 * list (by value) and stores its return value in result; 1 or 0. */
int lmProgram_RunFunction(lmProgram* program, const char* name, int32_t length,
                          lmVariableList* arguments, lmVariable* result);
/* The address of an SSL library function of the host, or NULL. */
void* lmProgram_SSL_Function(lmProgram* program, const char* name, int32_t length);
/* Set the default database type, the default and the current language; 1 or 0. */
int lmProgram_SetDefaultDatabase(lmProgram* program, const char* type, int32_t length);
int lmProgram_SetDefaultLanguage(lmProgram* program, const char* language, int32_t length);
int lmProgram_SetLanguage(lmProgram* program, const char* language, int32_t length);
/* Sleeps, cut short by the run's time-out or stop; 1 slept, 0 cut short. */
int lmProgram_Sleep(lmProgram* program, int32_t milliseconds);
/* A configured system library by name, loaded on first use, or NULL. */
lmSystemLibrary* lmProgram_SystemLibrary(lmProgram* program, const char* name, int32_t length);

/* ---- lmSystemLibrary_* ---------------------------------------------------- */

/* The address of a symbol of the library, or NULL with the reason in Error. */
void* lmSystemLibrary_GetFunction(lmSystemLibrary* library, const char* name, int32_t length);
const char* lmSystemLibrary_Error(lmSystemLibrary* library, int32_t* length);

/* ---- lmVariable_* --------------------------------------------------------- */

/* A new variable holding value (text). */
lmVariable* lmVariable_Allocate(const char* name, int32_t name_length, const char* value,
                                int32_t value_length);
/* A new variable, a deep copy of source (arrays and structures included). */
lmVariable* lmVariable_Allocate_Copy(lmVariable* source);
/* Releases one reference; the variable is destroyed with its last. */
void lmVariable_Free(lmVariable* variable);
const char* lmVariable_Name(lmVariable* variable, int32_t* length);
/* The text of the value; never NULL for a live variable. */
const char* lmVariable_Value(lmVariable* variable, int32_t* length);
/* As lmVariable_Value, with any zero bytes taken out. */
const char* lmVariable_Value_NS(lmVariable* variable, int32_t* length);
int32_t lmVariable_Value_Integer(lmVariable* variable);
double lmVariable_Value_Double(lmVariable* variable);
/* The setters make the variable a scalar again; 1 or 0. */
int lmVariable_SetValue(lmVariable* variable, const char* value, int32_t length);
/* Adopts buffer (from lumo_alloc, capacity bytes); the caller gives it up even
 * on failure. */
int lmVariable_SetValue_Nocopy(lmVariable* variable, char* buffer, int32_t length,
                               int32_t capacity);
int lmVariable_SetValue_Integer(lmVariable* variable, int32_t value);
int lmVariable_SetValue_Double(lmVariable* variable, double value);
/* Copies source's value (deeply for arrays and structures). */
int lmVariable_SetValue_Variable(lmVariable* variable, lmVariable* source);
/* Makes variable an alias of target: every holder then reaches target. */
int lmVariable_Make_Reference(lmVariable* variable, lmVariable* target);
/* One step along a reference, and its end. Borrowed. */
lmVariable* lmVariable_NextIdentity(lmVariable* variable);
lmVariable* lmVariable_RealIdentity(lmVariable* variable);
/* LM_AGGREGATE_STRUCTURE, _ARRAY or _SCALAR; -1 for NULL. */
int lmVariable_Aggregate_Type(lmVariable* variable);
/* A new list of references to the elements, in key order, named by key. */
lmVariableList* lmVariable_Aggregate_List(lmVariable* variable);
int32_t lmVariable_ElementsUsed(lmVariable* variable);
/* Element n (0 and up) of an array; created (making variable an array) when
 * create is set. Borrowed, or NULL. */
lmVariable* lmVariable_Array_Element(lmVariable* variable, int32_t index, int create);
/* Stores element as element n, shared (the array takes its own reference). */
int lmVariable_Set_Array_Element(lmVariable* variable, int32_t index, lmVariable* element);
/* Inserts element at n, moving later elements up by one. */
int lmVariable_Insert_Array_Element(lmVariable* variable, int32_t index, lmVariable* element);
/* Deletes count elements from start; with shift set later elements move down. */
int lmVariable_Delete_Array_Elements(lmVariable* variable, int32_t start, int32_t count,
                                     int shift);
/* Puts count elements of source from start into variable at destination:
 * Copy overwrites, Merge inserts. With copy set the elements are copied,
 * else shared. */
int lmVariable_Array_Copy(lmVariable* variable, lmVariable* source, int32_t start, int32_t count,
                          int32_t destination, int copy);
int lmVariable_Array_Merge(lmVariable* variable, lmVariable* source, int32_t start,
                           int32_t count, int32_t destination, int copy);
/* Lowest and highest index (0 without elements); the next index above or
 * below n (-1 when none). */
int32_t lmVariable_Array_Min(lmVariable* variable);
int32_t lmVariable_Array_Max(lmVariable* variable);
int32_t lmVariable_Array_Next(lmVariable* variable, int32_t index);
int32_t lmVariable_Array_Previous(lmVariable* variable, int32_t index);
/* A named member (names ignore case), created when create is set. Borrowed. */
lmVariable* lmVariable_Struct_Member(lmVariable* variable, const char* name, int32_t length,
                                     int create);
/* Stores member under name, shared (the structure takes its own reference). */
int lmVariable_Set_Struct_Member(lmVariable* variable, const char* name, int32_t length,
                                 lmVariable* member);
int lmVariable_Delete_Struct_Member(lmVariable* variable, const char* name, int32_t length);

/* ---- lmVariableHash_* ---------------------------------------------------- */

lmVariableHash* lmVariableHash_Allocate(void);
void lmVariableHash_Free(lmVariableHash* hash);
/* 1 with *variable set (borrowed) when the name has an entry, else 0. With
 * create set an entry without a variable gets an empty one. */
int lmVariableHash_Find(lmVariableHash* hash, lmVariable** variable, const char* name,
                        int32_t length, int create);
/* The variable of entry n, or NULL. Borrowed. */
lmVariable* lmVariableHash_Index(lmVariableHash* hash, int32_t entry, int create);
/* Adds an entry named like the variable (the hash takes its own reference);
 * ReplaceVariable replaces the variable of an existing entry of that name. */
int lmVariableHash_Insert(lmVariableHash* hash, lmVariable* variable);
int lmVariableHash_ReplaceVariable(lmVariableHash* hash, lmVariable* variable);
/* Stores text in the named variable, creating it. Borrowed, or NULL. */
lmVariable* lmVariableHash_SetVariable(lmVariableHash* hash, const char* name,
                                       int32_t name_length, const char* value,
                                       int32_t value_length);
/* Releases every entry's variable, keeping the names. */
void lmVariableHash_Dump(lmVariableHash* hash);

/* ---- lmVariableList_* ---------------------------------------------------- */

lmVariableList* lmVariableList_Allocate(void);
/* Releases every variable, then the list. */
void lmVariableList_Free(lmVariableList* list);
int32_t lmVariableList_Entries(lmVariableList* list);
/* The first variable of that name (ignoring case). Borrowed, or NULL. */
lmVariable* lmVariableList_Find(lmVariableList* list, const char* name, int32_t length);
/* Iteration: First starts over, Next moves on, Current stays. NULL at the end. */
lmVariable* lmVariableList_First(lmVariableList* list);
lmVariable* lmVariableList_Next(lmVariableList* list);
lmVariable* lmVariableList_Current(lmVariableList* list);
/* Appends variable (the list takes its own reference). */
int lmVariableList_Insert(lmVariableList* list, lmVariable* variable);
/* Finds or appends the named variable and stores text in it. Borrowed. */
lmVariable* lmVariableList_SetVariable(lmVariableList* list, const char* name,
                                       int32_t name_length, const char* value,
                                       int32_t value_length);
/* Removes and releases every variable. */
void lmVariableList_Dump(lmVariableList* list);

/* ---- lmFile_*, lmDirectory_Listing ---------------------------------------
 * Paths are relative to the directory chosen by the location code and may
 * never leave it. Failures leave a message that lmFile_Error returns. */

lmFile* lmFile_Open(lmProgram* program, int location, const char* path, int32_t length,
                    uint32_t mode);
int lmFile_Close(lmFile* file);
/* Bytes read (0 at the end), or -1. */
int64_t lmFile_Read(lmFile* file, void* buffer, int64_t length);
/* Writes all bytes; 1 or 0. */
int lmFile_Write(lmFile* file, const void* buffer, int64_t length);
int lmFile_Seek(lmFile* file, int64_t offset, int origin);
int64_t lmFile_Tell(lmFile* file);
/* Size of a named file, or -1. */
int64_t lmFile_Size(lmProgram* program, int location, const char* path, int32_t length);
/* Length of an open file, or -1. */
int64_t lmFile_Length(lmFile* file);
int lmFile_Exists(lmProgram* program, int location, const char* path, int32_t length);
int lmFile_IsDirectory(lmProgram* program, int location, const char* path, int32_t length);
int lmFile_MakeDirectory(lmProgram* program, int location, const char* path, int32_t length);
int lmFile_RemoveDirectory(lmProgram* program, int location, const char* path, int32_t length);
int lmFile_Delete(lmProgram* program, int location, const char* path, int32_t length);
int lmFile_Rename(lmProgram* program, int from_location, const char* from, int32_t from_length,
                  int to_location, const char* to, int32_t to_length);
int lmFile_Copy(lmProgram* program, int from_location, const char* from, int32_t from_length,
                int to_location, const char* to, int32_t to_length);
/* Permission bits of a named file into *mode; 1 or 0. */
int lmFile_Mode(lmProgram* program, int location, const char* path, int32_t length,
                uint32_t* mode);
int lmFile_Change_Mode(lmProgram* program, int location, const char* path, int32_t length,
                       uint32_t mode);
int lmFile_OwnerID(lmFile* file, int64_t* id);
int lmFile_GroupID(lmFile* file, int64_t* id);
/* Modification time (seconds since 1970) into *seconds; 1 or 0. */
int lmFile_Time(lmProgram* program, int location, const char* path, int32_t length,
                int64_t* seconds);
/* Locks a byte range (LM_LOCK_EXCLUSIVE or shared), waiting; 1 or 0. */
int lmFile_Lock(lmFile* file, int64_t offset, int64_t length, int mode);
int lmFile_Release(lmFile* file, int64_t offset, int64_t length);
/* Takes the lock file path + ".lck"; LM_LOCKFILE_HELD, _TIMEOUT or _ERROR.
 * Deleting that file releases the lock. (This build has no lock files yet:
 * the call reports LM_LOCKFILE_ERROR with the reason in lmFile_Error.) */
int lmFile_LockFile(lmProgram* program, int location, const char* path, int32_t length);
/* Creates a new file named prefix + ".<hex>"; its relative name goes into
 * name when given. */
lmFile* lmFile_MakeTemporary(lmProgram* program, int location, const char* prefix,
                             int32_t length, uint32_t mode, lmVariable* name);
/* A symbolic link at link pointing to target, both inside the location. */
int lmFile_MakeSymbolicLink(lmProgram* program, int location, const char* target,
                            int32_t target_length, const char* link, int32_t link_length);
int lmFile_Path_Separator(lmProgram* program);
/* The message of the last failed file call of this program. */
const char* lmFile_Error(lmProgram* program, int32_t* length);
/* No longer resolves anything: sets the error text and returns 0. */
int lmFile_Resolve(lmProgram* program, int location, const char* path, int32_t length,
                   lmVariable* full_path);
/* A new list of the directory's entries: each variable is named by the entry
 * and holds "1" for a directory, "0" for a file. NULL on failure. */
lmVariableList* lmDirectory_Listing(lmProgram* program, int location, const char* path,
                                    int32_t length);

/* ---- lmNetwork_*, lmHTTPResponse_* ------------------------------------------ */

lmNetworkConnection* lmNetwork_Connect(lmProgram* program, const char* host, int32_t length,
                                       int32_t port, int32_t timeout_seconds);
lmNetworkConnection* lmNetwork_Connect_SSL(lmProgram* program, const char* host,
                                           int32_t length, int32_t port,
                                           int32_t timeout_seconds);
int lmNetwork_Close(lmNetworkConnection* connection);
/* Bytes read (0 at the end), or -1. */
int32_t lmNetwork_Read(lmNetworkConnection* connection, void* buffer, int32_t length);
/* One line without its line end into buffer (zero-terminated); its length or -1. */
int32_t lmNetwork_Read_Line(lmNetworkConnection* connection, char* buffer, int32_t capacity);
int lmNetwork_Write(lmNetworkConnection* connection, const void* buffer, int32_t length);
/* The message of the program's last failed network call. */
const char* lmNetwork_Error(lmProgram* program, int32_t* length);
/* The host's address as text into result; 1 or 0. */
int lmNetwork_Get_Host_Address(lmProgram* program, const char* host, int32_t length,
                               lmVariable* result);
/* 1 when text is a literal IPv4 or IPv6 address. */
int lmNetwork_Is_IP_Address(const char* text, int32_t length);
/* Fetches a URL with GET; the response to read, or NULL. */
lmHTTPResponse* lmNetwork_Open_URL(lmProgram* program, const char* url, int32_t length,
                                   int32_t timeout_seconds);
/* Sends a request with the headers of the list (name: value) and body. */
lmHTTPResponse* lmNetwork_HTTP_Request(lmProgram* program, const char* method,
                                       int32_t method_length, const char* url,
                                       int32_t url_length, lmVariableList* headers,
                                       const char* body, int32_t body_length,
                                       int32_t timeout_seconds);
int32_t lmHTTPResponse_Status_Code(lmHTTPResponse* response);
/* The announced body length, or -1 when unknown. */
int64_t lmHTTPResponse_Content_Length(lmHTTPResponse* response);
int32_t lmHTTPResponse_Read(lmHTTPResponse* response, void* buffer, int32_t length);
int lmHTTPResponse_Close(lmHTTPResponse* response);
const char* lmHTTPResponse_Error(lmHTTPResponse* response, int32_t* length);

/* ---- lmDatabase_*, lmDatabaseView_*, lmDatabaseVariable_* --------------------
 * For external database libraries. The data calls keep one pointer of the
 * library's own per object. */

/* Creates a view of that name and makes it the primary view. */
lmDatabaseView* lmDatabase_AddView(lmDatabase* database, const char* name, int32_t length);
lmProgram* lmDatabase_Program(lmDatabase* database);
void lmDatabase_SetData(lmDatabase* database, void* data);
int lmDatabase_SetPrimaryView(lmDatabase* database, lmDatabaseView* view);
void* lmDatabase_data(lmDatabase* database);

lmDatabaseVariable* lmDatabaseView_AddVariable(lmDatabaseView* view, const char* name,
                                               int32_t length, void* data);
int lmDatabaseView_Clear(lmDatabaseView* view);
int lmDatabaseView_Commit(lmDatabaseView* view);
lmDatabase* lmDatabaseView_Database(lmDatabaseView* view);
lmProgram* lmDatabaseView_Program(lmDatabaseView* view);
void lmDatabaseView_SetData(lmDatabaseView* view, void* data);
/* Drops the cached values of every field so they are fetched again. */
int lmDatabaseView_SetDirty(lmDatabaseView* view);
void* lmDatabaseView_data(lmDatabaseView* view);

lmDatabaseView* lmDatabaseVariable_DatabaseView(lmDatabaseVariable* variable);
void lmDatabaseVariable_SetData(lmDatabaseVariable* variable, void* data);
int lmDatabaseVariable_SetDirty(lmDatabaseVariable* variable);
void* lmDatabaseVariable_data(lmDatabaseVariable* variable);

/* ---- lmConfig_* ------------------------------------------------------------
 * For configuration libraries, during init and load. */

/* Setting identifier: the number of a configuration setting. 0 on success,
 * 1 when the identifier is unknown or of the other kind. With owns set the
 * configuration adopts text (from lumo_alloc). */
int lmConfig_SetValue(lmConfig* config, int32_t identifier, const char* text, int32_t length,
                      int owns);
int lmConfig_SetValue_Integer(lmConfig* config, int32_t identifier, int32_t value);
/* Pre-sets a global or system variable of the scripts run; 0 or 1 as above. */
int lmConfig_SetVariable_Global(lmConfig* config, const char* name, int32_t name_length,
                                const char* value, int32_t value_length);
int lmConfig_SetVariable_System(lmConfig* config, const char* name, int32_t name_length,
                                const char* value, int32_t value_length);
/* A tag's error setting ("display", "fatal", both or neither); 0 or 1. */
int lmConfig_Set_DefaultErrorSetting(lmConfig* config, const char* tag, const char* value);
/* Registers a library (zero-terminated texts); 0 or 1. */
int lmConfig_Register_Library_Builtin(lmConfig* config, const char* path);
int lmConfig_Register_Library_Commerce(lmConfig* config, const char* name, const char* path);
int lmConfig_Register_Library_Database(lmConfig* config, const char* name, const char* path);
int lmConfig_Register_Library_System(lmConfig* config, const char* name, const char* path);

/* ---- The first interface ----------------------------------------------------
 * Kept for libraries written against it. Calls that report success return
 * 0 on success and -1 on failure. A tree is a variable hash. */

lmVariable* lumo_variable_new(const char* name, int32_t name_length, const char* value,
                              int32_t value_length);
void lumo_variable_delete(lmVariable* variable);
const char* lumo_variable_name(lmVariable* variable);
/* Never NULL: a variable without text (or a NULL one) gives "". */
const char* lumo_variable_value(lmVariable* variable);
int lumo_variable_setvalue(lmVariable* variable, const char* value, int32_t length);
/* 2 structure, 1 array, 0 scalar, -1 for NULL. */
int lumo_variable_aggregate_type(lmVariable* variable);
lmVariableList* lumo_variable_aggregate_list(lmVariable* variable);
/* Element n, created when create is set. Borrowed, or NULL. */
lmVariable* lumo_variable_array_element(lmVariable* variable, int32_t index, int create);
int32_t lumo_variable_array_elements(lmVariable* variable);
int32_t lumo_variable_array_min(lmVariable* variable);
int32_t lumo_variable_array_max(lmVariable* variable);
int lumo_variable_set_array_element_value(lmVariable* variable, int32_t index,
                                          const char* value, int32_t length);
lmVariable* lumo_variable_structure_member(lmVariable* variable, const char* name,
                                           int32_t length, int create);
int lumo_variable_set_structure_member_value(lmVariable* variable, const char* name,
                                             int32_t name_length, const char* value,
                                             int32_t value_length);

lmVariableList* lumo_variablelist_new(void);
void lumo_variablelist_delete(lmVariableList* list);
lmVariable* lumo_variablelist_first(lmVariableList* list);
lmVariable* lumo_variablelist_next(lmVariableList* list);
lmVariable* lumo_variablelist_current(lmVariableList* list);
lmVariable* lumo_variablelist_find(lmVariableList* list, const char* name, int32_t length);
lmVariable* lumo_variablelist_setvariable(lmVariableList* list, const char* name,
                                          int32_t name_length, const char* value,
                                          int32_t value_length);
void lumo_variablelist_dump(lmVariableList* list);
/* "name=value&..." with both URL-encoded, from lumo_alloc (release with
 * lumo_free), or NULL. */
char* lumo_variablelist_to_url(lmVariableList* list, int32_t* length);

lmVariableHash* lumo_variabletree_new(void);
void lumo_variabletree_delete(lmVariableHash* tree);
/* The named variable (never created), or NULL. Borrowed. */
lmVariable* lumo_variabletree_find(lmVariableHash* tree, const char* name, int32_t length);
int lumo_variabletree_insert(lmVariableHash* tree, lmVariable* variable);
lmVariable* lumo_variabletree_setvariable(lmVariableHash* tree, const char* name,
                                          int32_t name_length, const char* value,
                                          int32_t value_length);
void lumo_variabletree_dump(lmVariableHash* tree);

/* The lmFile_* calls of the same name; success is 0 and failure -1. */
lmFile* lumo_file_open(lmProgram* program, int location, const char* path, int32_t length,
                       uint32_t mode);
int lumo_file_close(lmFile* file);
int64_t lumo_file_read(lmFile* file, void* buffer, int64_t length);
int lumo_file_write(lmFile* file, const void* buffer, int64_t length);
int lumo_file_seek(lmFile* file, int64_t offset, int origin);
int64_t lumo_file_tell(lmFile* file);
int64_t lumo_file_size(lmProgram* program, int location, const char* path, int32_t length);
/* 1 exists, 0 not. */
int lumo_file_exists(lmProgram* program, int location, const char* path, int32_t length);
int lumo_file_delete(lmProgram* program, int location, const char* path, int32_t length);
int lumo_file_rename(lmProgram* program, int from_location, const char* from,
                     int32_t from_length, int to_location, const char* to, int32_t to_length);
int lumo_file_copy(lmProgram* program, int from_location, const char* from, int32_t from_length,
                   int to_location, const char* to, int32_t to_length);
int lumo_file_lock(lmFile* file, int64_t offset, int64_t length, int mode);
int lumo_file_release(lmFile* file, int64_t offset, int64_t length);
/* 0 when the lock is held, else -1. */
int lumo_file_lockfile(lmProgram* program, int location, const char* path, int32_t length);
/* 1 directory, 0 not. */
int lumo_file_isdirectory(lmProgram* program, int location, const char* path, int32_t length);
int lumo_file_makedirectory(lmProgram* program, int location, const char* path, int32_t length);
int lumo_file_removedirectory(lmProgram* program, int location, const char* path,
                              int32_t length);
const char* lumo_file_error(lmProgram* program);
/* No longer resolves anything: sets the error text and returns 0. */
int lumo_file_resolve(lmProgram* program, int location, const char* path, int32_t length,
                      lmVariable* full_path);

/* The lmNetwork_* calls of the same name; success is 0 and failure -1. */
lmNetworkConnection* lumo_network_connect(lmProgram* program, const char* host, int32_t length,
                                          int32_t port, int32_t timeout_seconds);
lmNetworkConnection* lumo_network_connect_ssl(lmProgram* program, const char* host,
                                              int32_t length, int32_t port,
                                              int32_t timeout_seconds);
int lumo_network_close(lmNetworkConnection* connection);
int32_t lumo_network_read(lmNetworkConnection* connection, void* buffer, int32_t length);
int32_t lumo_network_read_line(lmNetworkConnection* connection, char* buffer, int32_t capacity);
int lumo_network_write(lmNetworkConnection* connection, const void* buffer, int32_t length);
const char* lumo_network_error(lmProgram* program);
int lumo_network_get_host_address(lmProgram* program, const char* host, int32_t length,
                                  lmVariable* result);
/* 1 when text is a literal IPv4 or IPv6 address. */
int lumo_network_is_ip_address(const char* text, int32_t length);
lmHTTPResponse* lumo_network_open_url(lmProgram* program, const char* url, int32_t length,
                                      int32_t timeout_seconds);
lmHTTPResponse* lumo_network_http_request(lmProgram* program, const char* method,
                                          int32_t method_length, const char* url,
                                          int32_t url_length, lmVariableList* headers,
                                          const char* body, int32_t body_length,
                                          int32_t timeout_seconds);

/* ---- Memory --------------------------------------------------------------------
 * The process's malloc, realloc and free: either side may free what the
 * other allocated. */
void* lumo_alloc(size_t size);
void* lumo_realloc(void* memory, size_t size);
void lumo_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_LUMO_H_ */
