// The driver's SQL type numbers in ADO's numbering, which the import's field types use.

#include "platform/odbc/Odbc.h"

#include <sql.h>
#include <sqlext.h>

namespace kestrove::odbc {

int typeCodeFromSqlType(int sqlType) noexcept {
    switch (sqlType) {
    case SQL_CHAR:
        return type::Char;
    case SQL_VARCHAR:
        return type::VarChar;
    case SQL_LONGVARCHAR:
        return type::LongVarChar;
    case SQL_WCHAR:
        return type::WChar;
    case SQL_WVARCHAR:
        return type::VarWChar;
    case SQL_WLONGVARCHAR:
        return type::LongVarWChar;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
        return type::Numeric;
    case SQL_SMALLINT:
        return type::SmallInt;
    case SQL_INTEGER:
        return type::Integer;
    case SQL_BIGINT:
        return type::BigInt;
    case SQL_TINYINT:
        return type::TinyInt;
    case SQL_REAL:
        return type::Single;
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return type::Double;
    case SQL_BIT:
        return type::Boolean;
    case SQL_TYPE_DATE:
    case SQL_DATE:
        return type::DBDate;
    case SQL_TYPE_TIME:
    case SQL_TIME:
        return type::DBTime;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        return type::DBTimeStamp;
    case SQL_BINARY:
        return type::Binary;
    case SQL_VARBINARY:
        return type::VarBinary;
    case SQL_LONGVARBINARY:
        return type::LongVarBinary;
    case SQL_GUID:
        return type::Guid;
    default:
        return type::VarWChar;
    }
}

} // namespace kestrove::odbc
