# terra::terrain()'s measures of the 3 x 3 neighbourhood: TPI, TRI,
# roughness and flow direction. They take the elevations as they are, with
# no fit: .orvel_raster_pass() computes them block by block beside the
# fitted layers (src/neighbours.c), from the same rows it reads for the fit.

.orvel_neighbour_vars <- c("TPI", "TRI", "roughness", "flowdir")

# Layer codes of the compiled pass (src/neighbours.h).
.orvel_neighbour_codes <- c(TPI = 1L, TRI = 2L, roughness = 3L, flowdir = 4L)

# The east-west cell size of flowdir's distances on raster x, of geometry
# `cells` (.orvel_geometry()): terra::terrain()'s, on longitude/latitude
# the geodesic width of a cell in the middle row (terra's row nrow / 2,
# counted from 0), on every row, so that the codes are terra's.
.orvel_neighbour_dx <- function(x, cells) {
  if (!cells$lonlat) return(cells$dx)
  y <- terra::yFromRow(x, terra::nrow(x) %/% 2L + 1L)
  as.double(terra::distance(cbind(0, y), cbind(abs(terra::xres(x)), y), lonlat = TRUE))
}

# A block's layers in the order asked for: `fit`, the fitted layers one
# after another, and `nb`, the neighbourhood layers, each `n` cells, where
# `is_nb` flags which of the layers asked for are the neighbourhood's.
.orvel_neighbour_join <- function(fit, nb, is_nb, n) {
  if (!any(is_nb)) return(fit)
  if (all(is_nb)) return(nb)
  if (!is.unsorted(is_nb)) return(c(fit, nb))
  perm <- order(c(which(!is_nb), which(is_nb)))
  as.vector(cbind(matrix(fit, n), matrix(nb, n))[, perm])
}
