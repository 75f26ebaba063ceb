// An ODBC driver for the tests: SQLite's own driver, which it links to and
// whose every call the driver manager finds through it, but for the name
// it reports for its DBMS, which jantor does not know. A data source with
// this file as its Driver is so a real database that jantor reaches
// through its plain dialect.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kDbmsName[] = "Unheard-of DBMS";

using GetInfo = SQLRETURN (*)(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*);

// SQLite's driver's own SQLGetInfo: the next one after this library's, in
// the dependency it links to.
GetInfo Original() {
  static GetInfo original = reinterpret_cast<GetInfo>(dlsym(RTLD_NEXT, "SQLGetInfo"));
  return original;
}

}  // namespace

extern "C" SQLRETURN SQLGetInfo(SQLHDBC connection, SQLUSMALLINT type, SQLPOINTER value,
                                SQLSMALLINT size, SQLSMALLINT* length) {
  if (type != SQL_DBMS_NAME) {
    GetInfo original = Original();
    return original != nullptr ? original(connection, type, value, size, length) : SQL_ERROR;
  }
  if (value != nullptr && size > 0) {
    size_t room = std::min(sizeof kDbmsName, static_cast<size_t>(size));
    memcpy(value, kDbmsName, room - 1);
    static_cast<char*>(value)[room - 1] = '\0';
  }
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(sizeof kDbmsName - 1);
  return SQL_SUCCESS;
}
