/* Export marker for the support library's C interface. Everything else in
 * kysupp is compiled with hidden visibility; the version script built from
 * exports/<unit>.sym decides the final export list. */
#ifndef KY_API_H
#define KY_API_H

#if defined(KYSUPP_HIDDEN_COPY)
#define KY_API
#else
#define KY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define KY_EXTERN_C_BEGIN extern "C" {
#define KY_EXTERN_C_END }
#else
#define KY_EXTERN_C_BEGIN
#define KY_EXTERN_C_END
#endif

#endif
