// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The libpq functions the program calls, handed over by the module libvarozidi_pq.so, which
// links libpq. The data layer's own definitions of these names call through this table (see
// PqCalls.cpp), so the code that talks to the server is written against libpq as usual.

#include "data/modules/Table.h"

#include <libpq-fe.h>

#define VAROZIDI_PQ_FUNCTIONS(X)                                                                   \
    X(PQbackendPID)                                                                                \
    X(PQclear)                                                                                     \
    X(PQcmdTuples)                                                                                 \
    X(PQconnectPoll)                                                                               \
    X(PQconnectStartParams)                                                                        \
    X(PQconnectdbParams)                                                                           \
    X(PQconnectionNeedsPassword)                                                                   \
    X(PQconninfoFree)                                                                              \
    X(PQconninfoParse)                                                                             \
    X(PQconsumeInput)                                                                              \
    X(PQerrorMessage)                                                                              \
    X(PQexec)                                                                                      \
    X(PQexecParams)                                                                                \
    X(PQfinish)                                                                                    \
    X(PQfreemem)                                                                                   \
    X(PQftype)                                                                                     \
    X(PQgetResult)                                                                                 \
    X(PQgetisnull)                                                                                 \
    X(PQgetlength)                                                                                 \
    X(PQgetvalue)                                                                                  \
    X(PQisBusy)                                                                                    \
    X(PQnotifies)                                                                                  \
    X(PQntuples)                                                                                   \
    X(PQresultErrorField)                                                                          \
    X(PQresultStatus)                                                                              \
    X(PQsendQuery)                                                                                 \
    X(PQsetNoticeProcessor)                                                                        \
    X(PQsocket)                                                                                    \
    X(PQstatus)                                                                                    \
    X(PQtransactionStatus)                                                                         \
    X(PQunescapeBytea)

namespace varozidi::modules {

struct PqFunctions {
    TableHeader header;
#define VAROZIDI_PQ_MEMBER(name) decltype(&::name) name;
    VAROZIDI_PQ_FUNCTIONS(VAROZIDI_PQ_MEMBER)
#undef VAROZIDI_PQ_MEMBER
};

#define VAROZIDI_PQ_NAME(name) #name " "
constexpr char kPqNames[] = VAROZIDI_PQ_FUNCTIONS(VAROZIDI_PQ_NAME);
#undef VAROZIDI_PQ_NAME
constexpr char kPqModule[] = "libvarozidi_pq.so";
constexpr char kPqEntry[] = "varozidi_pq_functions";

} // namespace varozidi::modules
