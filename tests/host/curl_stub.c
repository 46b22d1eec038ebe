/* A library that stands in for an incomplete libcurl: it has the global
   set-up call and none of the transfer calls. */
int curl_global_init(long flags) {
  (void)flags;
  return 0;
}
