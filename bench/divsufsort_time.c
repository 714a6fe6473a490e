/* Times libdivsufsort's suffix array of one file: the speed limit the
 * benchmark sets our suffix sort against. The array is checked with the
 * library's own checker, untimed, so a broken build cannot report a figure.
 *
 * Usage: divsufsort_time FILE
 * Prints: seconds=<suffix sort time> */
#include <divsufsort.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  FILE* in;
  long length;
  sauchar_t* data;
  saidx_t* suffix_array;
  struct timespec start, end;

  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  in = fopen(argv[1], "rb");
  if (in == NULL || fseek(in, 0, SEEK_END) != 0 || (length = ftell(in)) < 0 ||
      fseek(in, 0, SEEK_SET) != 0) {
    fprintf(stderr, "divsufsort_time: cannot read %s\n", argv[1]);
    return 2;
  }
  data = malloc(length > 0 ? (size_t)length : 1);
  suffix_array = malloc((length > 0 ? (size_t)length : 1) * sizeof(saidx_t));
  if (data == NULL || suffix_array == NULL ||
      fread(data, 1, (size_t)length, in) != (size_t)length) {
    fprintf(stderr, "divsufsort_time: cannot load %s\n", argv[1]);
    return 2;
  }
  fclose(in);

  clock_gettime(CLOCK_MONOTONIC, &start);
  if (divsufsort(data, suffix_array, (saidx_t)length) != 0) {
    fprintf(stderr, "divsufsort_time: divsufsort failed\n");
    return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (sufcheck(data, suffix_array, (saidx_t)length, 0) != 0) {
    fprintf(stderr, "divsufsort_time: the suffix array is wrong\n");
    return 1;
  }
  printf("seconds=%.6f\n",
         (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
  free(suffix_array);
  free(data);
  return 0;
}
