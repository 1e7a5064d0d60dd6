// SPDX-License-Identifier: GPL-3.0-or-later
// libpq's functions as the data layer calls them, each passed on to the module, which is
// loaded by the first of them. These definitions are hidden: the program exports none of
// them, so libpq itself and the module always reach libpq's own.
#include "data/modules/Module.h"
#include "data/modules/Pq.h"

namespace {

const varozidi::modules::PqFunctions& pq() {
    using varozidi::modules::PqFunctions;
    static const auto* const table = static_cast<const PqFunctions*>(
        varozidi::modules::Load(varozidi::modules::kPqModule, varozidi::modules::kPqEntry,
                                {sizeof(PqFunctions), varozidi::modules::kPqNames},
                                QStringLiteral("Reaching a collection on a PostgreSQL server")));
    return *table;
}

} // namespace

extern "C" {

int PQbackendPID(const PGconn* conn) {
    return pq().PQbackendPID(conn);
}
void PQclear(PGresult* res) {
    pq().PQclear(res);
}
char* PQcmdTuples(PGresult* res) {
    return pq().PQcmdTuples(res);
}
PostgresPollingStatusType PQconnectPoll(PGconn* conn) {
    return pq().PQconnectPoll(conn);
}
PGconn* PQconnectStartParams(const char* const* keywords, const char* const* values,
                             int expandDbname) {
    return pq().PQconnectStartParams(keywords, values, expandDbname);
}
PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values,
                          int expandDbname) {
    return pq().PQconnectdbParams(keywords, values, expandDbname);
}
int PQconnectionNeedsPassword(const PGconn* conn) {
    return pq().PQconnectionNeedsPassword(conn);
}
void PQconninfoFree(PQconninfoOption* options) {
    pq().PQconninfoFree(options);
}
PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
    return pq().PQconninfoParse(conninfo, errmsg);
}
int PQconsumeInput(PGconn* conn) {
    return pq().PQconsumeInput(conn);
}
char* PQerrorMessage(const PGconn* conn) {
    return pq().PQerrorMessage(conn);
}
PGresult* PQexec(PGconn* conn, const char* query) {
    return pq().PQexec(conn, query);
}
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths,
                       const int* paramFormats, int resultFormat) {
    return pq().PQexecParams(conn, command, nParams, paramTypes, paramValues, paramLengths,
                             paramFormats, resultFormat);
}
void PQfinish(PGconn* conn) {
    pq().PQfinish(conn);
}
void PQfreemem(void* ptr) {
    pq().PQfreemem(ptr);
}
Oid PQftype(const PGresult* res, int field) {
    return pq().PQftype(res, field);
}
PGresult* PQgetResult(PGconn* conn) {
    return pq().PQgetResult(conn);
}
int PQgetisnull(const PGresult* res, int row, int field) {
    return pq().PQgetisnull(res, row, field);
}
int PQgetlength(const PGresult* res, int row, int field) {
    return pq().PQgetlength(res, row, field);
}
char* PQgetvalue(const PGresult* res, int row, int field) {
    return pq().PQgetvalue(res, row, field);
}
int PQisBusy(PGconn* conn) {
    return pq().PQisBusy(conn);
}
PGnotify* PQnotifies(PGconn* conn) {
    return pq().PQnotifies(conn);
}
int PQntuples(const PGresult* res) {
    return pq().PQntuples(res);
}
char* PQresultErrorField(const PGresult* res, int fieldcode) {
    return pq().PQresultErrorField(res, fieldcode);
}
ExecStatusType PQresultStatus(const PGresult* res) {
    return pq().PQresultStatus(res);
}
int PQsendQuery(PGconn* conn, const char* query) {
    return pq().PQsendQuery(conn, query);
}
PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg) {
    return pq().PQsetNoticeProcessor(conn, proc, arg);
}
int PQsocket(const PGconn* conn) {
    return pq().PQsocket(conn);
}
ConnStatusType PQstatus(const PGconn* conn) {
    return pq().PQstatus(conn);
}
PGTransactionStatusType PQtransactionStatus(const PGconn* conn) {
    return pq().PQtransactionStatus(conn);
}
unsigned char* PQunescapeBytea(const unsigned char* strtext, size_t* retbuflen) {
    return pq().PQunescapeBytea(strtext, retbuflen);
}

} // extern "C"
