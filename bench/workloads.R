# The opening of a benchmark worker's script, shared by bench/isa.R and
# bench/compilers.R: the package, `threads`, and the grids, kernels and
# raster the workloads run on (z7 1500 x 1500 for 7 x 7 windows, z31
# 1000 x 1000 for 31 x 31, zna with 2000 missing values, dem a raster of z31).
bench_worker <- function(threads) sprintf('
library(orvel)
threads <- %d
set.seed(1)
surface <- function(n) {
  i <- seq_len(n)
  outer(30 * sin(i / 37), 20 * cos(i / 53), "+") + matrix(rnorm(n * n), n, n)
}
z7 <- surface(1500); z31 <- surface(1000)
zna <- z31; zna[sample(length(zna), 2000)] <- NA
k7 <- orvel_kernel("gaussian", 1.5); k31 <- orvel_kernel("gaussian", 6, size = 31)
dem <- terra::rast(z31, extent = terra::ext(0, 10000, 0, 10000), crs = "local")
', threads)

