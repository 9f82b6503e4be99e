# Sources of this subsystem are added to tukcloudutils_objects here.
