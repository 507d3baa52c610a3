#include "util/zws_string.h"

#include <cstring>

int zws_is_stringA_end_with_stringB(const char *stringA, const char *stringB)
{
    const size_t length_a = std::strlen(stringA);
    const size_t length_b = std::strlen(stringB);
    if (length_b > length_a)
        return 0;
    return std::memcmp(stringA + (length_a - length_b), stringB, length_b) == 0 ? 1 : 0;
}

char *zws_url_string_strip_1layer(char **ppstrURL)
{
    if (ppstrURL == nullptr || *ppstrURL == nullptr || **ppstrURL == '\0')
        return nullptr;
    char *layer = *ppstrURL;
    char *slash = std::strchr(layer, '/');
    if (slash == nullptr)
        return nullptr;
    *slash = '\0';
    *ppstrURL = slash + 1;
    return layer;
}

int zws_count_nof_char_occurance(const char *strMain, char chToken)
{
    if (strMain == nullptr)
        return 0;
    int count = 0;
    for (const char *p = strMain; *p != '\0'; p++)
        if (*p == chToken)
            count++;
    return count;
}

int zws_string_remove_substring(char **ppstrMain, const char *strSub)
{
    if (ppstrMain == nullptr || *ppstrMain == nullptr || **ppstrMain == '\0' || strSub == nullptr)
        return 0;
    char *found = std::strstr(*ppstrMain, strSub);
    if (found == nullptr)
        return 0;
    *ppstrMain = found + std::strlen(strSub);
    return 1;
}
