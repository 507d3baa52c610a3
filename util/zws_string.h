// Small text helpers for URL paths and suffixes.
#pragma once

// 1 when stringA ends with stringB (an empty stringB always matches), else 0.
int zws_is_stringA_end_with_stringB(const char *stringA, const char *stringB);

// Splits one '/'-separated layer off a modifiable text: overwrites the first
// '/' at *ppstrURL with the terminator, moves *ppstrURL behind it and returns
// the old position. Null (position unmoved) when ppstrURL or *ppstrURL is
// null, the text is empty, or no '/' follows. "networks/01-02/zwif_basic"
// gives "networks", then "01-02", then null with the position at "zwif_basic".
char *zws_url_string_strip_1layer(char **ppstrURL);

// How often chToken occurs in strMain; 0 for a null text.
int zws_count_nof_char_occurance(const char *strMain, char chToken);

// Moves *ppstrMain just behind the first occurrence of strSub and returns 1;
// 0 (nothing moved) for a null address, a null or empty text, or a text that
// does not hold strSub.
int zws_string_remove_substring(char **ppstrMain, const char *strSub);
