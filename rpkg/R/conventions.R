# Documentation only: orvel's terrain outputs beside those of the tools a
# terrain analyst already runs.

#' orvel's terrain variables beside terra's, MultiscaleDTM's, GRASS's, SAGA's and gdaldem's
#'
#' Names, signs and units of the same quantities in the tools a terrain
#' analyst compares orvel with, and the orvel call that reproduces each.
#' `x` is an elevation SpatRaster with elevations in the units of its map
#' (or in metres on longitude/latitude); `n` a window size in cells. Every
#' orvel variable follows the conventions of [orvel_terrain()]: x east, y
#' north, slope from the horizontal, aspect the direction the ground faces
#' (downhill), clockwise from north, curvatures of Minár, Evans and Jenčo
#' (2020), positive where the ground is convex. orvel also fills the edge
#' cells that the others leave empty, from the neighbours there are, so
#' compare inside the raster.
#'
#' **terra** ([terra::terrain()], [terra::shade()])
#'
#' | terra | orvel | notes |
#' |---|---|---|
#' | `terrain(x, "slope", neighbors = 8)` | `orvel_terrain(x, "slope")` | Horn's weights, degrees (`unit = "radians"` as in terra) |
#' | `terrain(x, "slope", neighbors = 4)` | `orvel_terrain(x, "slope", kernel = "rook")` | the rook's case (Fleming and Hoffer) |
#' | `terrain(x, "aspect")` | `orvel_terrain(x, "aspect", min_slope = 0)` | clockwise from north; 90 on level ground, as terra (by default orvel's aspect is `NA` below 0.1 degrees of slope) |
#' | `terrain(x, "TPI")`, `"TRI"`, `"roughness"`, `"flowdir"` | `orvel_terrain(x, "TPI")`, ... | the same 3 x 3 definitions and codes; ties of flowdir: terra random, orvel the lower code |
#' | `shade(slope, aspect, angle, direction)` (radians) | `orvel_terrain(x, "hillshade", angle = , direction = )` | not normalised, as terra's default |
#'
#' **MultiscaleDTM** (`Qfit(r, w = c(n, n))`: a quadratic fitted by
#' unweighted least squares on an n x n window; `SlpAsp()`)
#'
#' | MultiscaleDTM | orvel | notes |
#' |---|---|---|
#' | `Qfit` `qslope`, `qaspect` | `orvel_terrain(x, c("slope", "aspect"), kernel = matrix(1, n, n), degree = 2)` | the same quadratic, degrees |
#' | `Qfit` `profc` | `"profile_curvature"` (same kernel and degree) | normal slope line curvature |
#' | `Qfit` `planc` | `"tangential_curvature"` | the normal contour curvature; orvel's `"plan_curvature"` is the projected one, `planc / sin(slope)` |
#' | `Qfit` `meanc`, `maxc`, `minc` | `"mean_curvature"`, `"max_curvature"`, `"min_curvature"` | |
#' | `Qfit` `twistc` | `"twisting_curvature"` | the contour's geodesic torsion |
#' | `SlpAsp(r, w = c(3, 3), method = "queen")`, `"rook"` | `kernel = "horn"`, `"rook"` | 3 x 3 windows only: wider `SlpAsp` windows take only cells on the window's edge |
#' | `SlpAsp` eastness, northness | `"eastness"`, `"northness"` | the sine and cosine of the aspect |
#' | `DirSlp(r, w, direction = a)` | `orvel_terrain(x, "directional_slope", slope_direction = a)` | the slope along the azimuth a, positive uphill |
#' | `VRM(r, w = c(n, n))` | `orvel_vrm(x, size = n)` | Sappington et al. (2007), from the normals of Horn's planes |
#'
#' **GRASS** (`r.param.scale size=n exponent=0`: a quadratic fitted by
#' unweighted least squares on an n x n window, Wood 1996;
#' `r.slope.aspect`: Horn's weights)
#'
#' | GRASS | orvel | notes |
#' |---|---|---|
#' | `r.param.scale method=slope` | `orvel_terrain(x, "slope", kernel = matrix(1, n, n), degree = 2)` | degrees; equal on square cells only: GRASS averages the two cell sizes, orvel takes each axis's own |
#' | `r.param.scale method=aspect` | `"aspect"` | GRASS measures from the west, 0 to 180 through north and 0 to -180 through south: orvel's is `(grass + 270) %% 360` |
#' | `r.param.scale method=profc` | `"profile_curvature"` | the same sign: positive where convex |
#' | `r.param.scale method=planc` | `"plan_curvature"` | opposite in sign: orvel's is `-planc` |
#' | `r.param.scale method=longc`, `method=crosc` | `"longitudinal_curvature"`, `"cross_sectional_curvature"` | Wood's; `size=7` is `kernel = orvel_kernel("uniform", 5, size = 7)` |
#' | `r.param.scale method=feature` | `"features"` | the same codes, 1 planar to 6 peak; `slope_tolerance`, `curvature_tolerance` as GRASS's `slope_tolerance`, `curvature_tolerance` |
#' | `r.param.scale method=maxic` and `method=minic` | none | the eigenvalues of the Hessian of z, not principal curvatures; form them from orvel's `"d2zdx2"`, `"d2zdxdy"`, `"d2zdy2"` if needed |
#' | `r.param.scale zscale=k` | `orvel_terrain(x, ..., zscale = 1 / k)` | GRASS multiplies the elevations by its zscale, orvel divides by its own |
#' | `r.slope.aspect format=percent` | `unit = "percent"` | 100 tan(slope) |
#' | `r.slope.aspect slope=` (`format=degrees`) | `orvel_terrain(x, "slope")` | Horn's weights |
#' | `r.slope.aspect aspect=` | `"aspect"` | GRASS measures counterclockwise from east (its `-n` flag: clockwise from north): orvel's is `(450 - grass) %% 360` |
#' | `r.slope.aspect dx=`, `dy=` | `-orvel_terrain(x, c("dzdx", "dzdy"))` | every derivative negated; its `dxx`, `dyy` come from (1, 4, 1) weights and differ from any quadratic orvel fits |
#'
#' **SAGA** (Slope, Aspect, Curvature)
#'
#' | SAGA | orvel | notes |
#' |---|---|---|
#' | method "6 parameter 2nd order polynomial (Evans 1979)": slope, aspect | `orvel_terrain(x, c("slope", "aspect"), kernel = matrix(1, 3, 3), degree = 2)` | `unit` as SAGA's is set (radians or degrees; its percent is 100 tan(slope)) |
#' | method "9 parameter 2nd order polynomial (Zevenbergen and Thorne 1987)": slope, aspect | `kernel = "rook"` | the central differences of the rook's case |
#' | profile, plan, tangential curvature | `"profile_curvature"`, `"plan_curvature"`, `"tangential_curvature"` | SAGA's formulas use half the second derivatives (r / 2, t / 2) where Minár's use r and t, so they are not the same numbers |
#'
#' **gdaldem**
#'
#' | gdaldem | orvel | notes |
#' |---|---|---|
#' | `gdaldem slope` (Horn) | `orvel_terrain(x, "slope")` | degrees; `-p` is `unit = "percent"`; `-alg ZevenbergenThorne` is `kernel = "rook"` |
#' | `gdaldem aspect` | `"aspect"` | clockwise from north; level ground: gdaldem's no-data (0 with `-zero_for_flat`), orvel's 90; `-trigonometric` (counterclockwise from east): `(450 - aspect) %% 360` |
#' | `gdaldem TRI -alg Wilson` | `"TRI"` | the default `-alg Riley` is another index (the root of the summed squared differences) |
#' | `gdaldem TPI`, `gdaldem roughness` | `"TPI"`, `"roughness"` | |
#' | `gdaldem hillshade` | `"hillshade"` | gdaldem scales the shade to bytes 1 to 255 and defaults to a sun at azimuth 315, orvel gives the cosine and defaults to 0 |
#' | `gdaldem hillshade -multidirectional` | `orvel_terrain(x, "hillshade", direction = c(225, 270, 315, 360))` | gdaldem's bytes are 1 + 254 times orvel's shade |
#' | `-s s` (the ratio of vertical to horizontal units) | `orvel_terrain(x, ..., zscale = s)` | on longitude/latitude none is needed: orvel measures the cells in metres itself |
#'
#' @references Minár, J., Evans, I. S. and Jenčo, M. (2020). A comprehensive
#'   system of definitions of land surface (topographic) curvatures, with
#'   implications for their application in geoscience modelling and
#'   prediction. Earth-Science Reviews 211, 103414.
#'
#'   Sappington, J. M., Longshore, K. M. and Thompson, D. B. (2007).
#'   Quantifying landscape ruggedness for animal habitat analysis: a case
#'   study using bighorn sheep in the Mojave Desert. Journal of Wildlife
#'   Management 71, 1419-1426.
#'
#'   Wood, J. (1996). The geomorphological characterisation of digital
#'   elevation models. PhD thesis, University of Leicester.
#'
#'   Wilson, M. F. J., O'Connell, B., Brown, C., Guinan, J. C. and
#'   Grehan, A. J. (2007). Multiscale terrain analysis of multibeam
#'   bathymetry data for habitat mapping on the continental slope. Marine
#'   Geodesy 30, 3-35.
#' @seealso [orvel_terrain()] for the definitions, [orvel_kernel()] for
#'   kernels.
#' @name orvel_conventions
#' @examples
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   dem <- terra::rast(volcano, extent = terra::ext(0, 610, 0, 870), crs = "local")
#'   # MultiscaleDTM's Qfit(dem, w = c(5, 5)) planc, and orvel's plan curvature from it
#'   q <- orvel_terrain(dem, c("slope", "tangential_curvature", "plan_curvature"),
#'                      kernel = matrix(1, 5, 5), unit = "radians")
#'   d <- q$tangential_curvature / sin(q$slope) - q$plan_curvature
#'   print(terra::global(abs(d), "max", na.rm = TRUE))
#'   # r.param.scale's aspect (from the west) back to orvel's
#'   a <- orvel_terrain(dem, "aspect")
#'   grass <- (a - 90) %% 360 - 180
#'   print(terra::global(abs((grass + 270) %% 360 - a), "max", na.rm = TRUE))
#' }
NULL
