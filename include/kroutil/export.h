/* Export marking for the kroutil C interface. */
#ifndef KROUTIL_EXPORT_H
#define KROUTIL_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define KRO_API __attribute__((visibility("default")))
#else
#define KRO_API
#endif

#ifdef __cplusplus
#define KRO_BEGIN_DECLS extern "C" {
#define KRO_END_DECLS }
#else
#define KRO_BEGIN_DECLS
#define KRO_END_DECLS
#endif

#endif
