// The start-page offer's constants. The question is Simplified Chinese in
// code page 936 (GBK), like every text of Quillet, kept here as bytes.
#ifndef QUILLET_START_PAGE_TEXTS_H
#define QUILLET_START_PAGE_TEXTS_H

// The 2345 portal that the question names, tagged with where the visitor
// came from. Quillet runs elevated, so only https.
static const char kPromotedStartPage[] = "https://www.2345.com/?from=quillet";

// "请大家支持"
static const char kStartPageQuestionCaption[] = "\xC7\xEB\xB4\xF3\xBC\xD2\xD6\xA7\xB3\xD6";

// "Quillet是一款免费软件，如果您觉得好用\n\n请允许我们设置您的浏览器首页为
// 2345导航\n\n您允许变更首页吗？\n"
static const char kStartPageQuestionText[] =
    "Quillet\xCA\xC7\xD2\xBB\xBF\xEE\xC3\xE2\xB7\xD1\xC8\xED\xBC\xFE\xA3\xAC"
    "\xC8\xE7\xB9\xFB\xC4\xFA\xBE\xF5\xB5\xC3\xBA\xC3\xD3\xC3\n\n"
    "\xC7\xEB\xD4\xCA\xD0\xED\xCE\xD2\xC3\xC7\xC9\xE8\xD6\xC3\xC4\xFA\xB5\xC4"
    "\xE4\xAF\xC0\xC0\xC6\xF7\xCA\xD7\xD2\xB3\xCE\xAA 2345\xB5\xBC\xBA\xBD\n\n"
    "\xC4\xFA\xD4\xCA\xD0\xED\xB1\xE4\xB8\xFC\xCA\xD7\xD2\xB3\xC2\xF0\xA3\xBF\n";

#endif
