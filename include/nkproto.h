/* nkproto.h -- the messages the framework's programs exchange over the bus:
 * the requests an operator's shell or a bridge sends to a runtime process,
 * the runtime's tag watch, the statistics listings, and the result types of
 * the replies. nkmsg.h carries them and defines the bus server's own types
 * (registration, sign-off).
 *
 * A message type below NK_FIRST_REQUEST is a result, the type of a reply:
 * it is never answered. A request's reply has the request's sequence number
 * (nkMsgRequest waits for it). */
#ifndef NK_NKPROTO_H
#define NK_NKPROTO_H

/* {==== Requests to a runtime process */

#define NK_FIRST_REQUEST 100 /* types below are results */

#define NK_TYPE_POST 201 /* "event[,param]": post to the runtime's contexts */
#define NK_TYPE_STAT 202 /* "stat=NAME,index=N": one row of a listing (below) */
#define NK_TYPE_PS 209   /* "index=N": one context a reply */
#define NK_TYPE_LUA 210  /* a line of Lua: type 0 and its output */
#define NK_TYPE_SET 212  /* "tag=value", one-way: writes the tag */
#define NK_TYPE_GET 213  /* "tag": answered with "tag=value" */
/* "watch" or "renew": the sender is sent every tag's new value for 60 s
 * (each renews it), as one-way NK_TYPE_TAG_VALUE messages. */
#define NK_TYPE_WATCH 214
#define NK_TYPE_TAG_VALUE 215 /* one-way to a watcher: "tag=value" */

/* }==== */

/* {==== Listings: the NAME of "stat=NAME,index=N" */

#define NK_STAT_MEMHANDLES "memhandles"   /* memStatsHandleQuery */
#define NK_STAT_MEMBLOCKS "memblocks"     /* memStatsBlockQuery */
#define NK_STAT_MEM "mem"                 /* memStatsQuery */
#define NK_STAT_PROFILES "stats"          /* runtimeStatsQuery */
#define NK_STAT_LISTPOOLS "listpools"     /* the list pools */
#define NK_STAT_EVENTS "events"           /* eventStatsQuery */
#define NK_STAT_TIMERS "timers"           /* timerStatsQuery */
#define NK_STAT_RULES "rules"             /* the RTDB's rules */
#define NK_STAT_CONNECTIONS "connections" /* the bus server's connections */

/* }==== */

/* {==== Result types */

#define NK_REPLY_OK 0
#define NK_REPLY_REFUSED 1      /* bus: the name is in use or reserved */
#define NK_REPLY_NO_SUCH_NAME 3 /* bus: no such recipient, or the line was refused */
#define NK_REPLY_UNKNOWN 4      /* the request, listing or tag is unknown here */
#define NK_REPLY_END 5          /* nothing (more) to list */
#define NK_REPLY_NOT_TAKEN 6    /* a posted event reached no context */

/* }==== */

#endif /* NK_NKPROTO_H */
