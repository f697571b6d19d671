<#
.SYNOPSIS
    Tells whether the agent's Downloads folder is repaired: one line when it is,
    nothing when it is not. Always exits 0.

.DESCRIPTION
    A detection script for Intune (Win32 app) and Configuration Manager (script
    detection method) alike: both count exit status 0 with text on standard
    output as "installed", exit status 0 with no output as "not installed", and
    anything written to standard error or another exit status as a failure of
    the script itself. This script therefore writes nothing to standard error
    and always exits 0; whatever it cannot read counts as not repaired.

    Repaired means all of these hold:
      - Downloads and the two folders above it, below the machine-wide
        application-data folder, exist and none is a reparse point (junction,
        mount point or symbolic link);
      - each of the three is owned by SYSTEM, Administrators or TrustedInstaller;
      - Downloads' explicit entries are the 32-bit program-files folder's
        explicit entries, in the same order, with the same rights, type and
        inheritance flags, compared by SID;
      - no entry that applies to Downloads itself (explicit or inherited, not
        inherit-only) allows any other SID to write, append, delete, delete
        children, change permissions or take ownership, nor gives it a generic
        right that includes one of these.

.PARAMETER Explain
    For a person at a console: prints every check with its result and why.

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks.
#>
[CmdletBinding()]
param(
    [switch]$Explain
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$TrustedOwners = @{
    'S-1-5-18'     = 'SYSTEM'
    'S-1-5-32-544' = 'Administrators'
    'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' = 'TrustedInstaller'
}
# FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_DELETE_CHILD, DELETE, WRITE_DAC,
# WRITE_OWNER, GENERIC_ALL and GENERIC_WRITE.
$UnsafeRights = 0x2 -bor 0x4 -bor 0x40 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x10000000 -bor 0x40000000

# One entry as text: the fields that decide what it grants, and to whom.
function Format-Entry($Rule) {
    '{0} {1} 0x{2:X8} {3} {4}' -f $Rule.IdentityReference.Value, $Rule.AccessControlType,
        [int]$Rule.FileSystemRights, $Rule.InheritanceFlags, $Rule.PropagationFlags
}

function Get-Entries($Acl) {
    @($Acl.GetAccessRules($true, $true, [System.Security.Principal.SecurityIdentifier]))
}

function New-Check([string]$Name, [bool]$Passed, [string]$Why) {
    [pscustomobject]@{ Check = $Name; Passed = $Passed; Why = $Why }
}

function Get-Checks {
    $appData = [Environment]::GetFolderPath('CommonApplicationData')
    $programFiles = [Environment]::GetFolderPath('ProgramFilesX86')
    if (-not $appData -or -not $programFiles) {
        New-Check 'special folders' $false 'Windows names no application-data or 32-bit program-files folder'
        return
    }

    $path = $appData
    $folders = foreach ($part in $Suffix) {
        $path = Join-Path $path $part
        $path
    }
    foreach ($folder in $folders) {
        $item = Get-Item -LiteralPath $folder -Force -ErrorAction SilentlyContinue
        if ($null -eq $item -or -not $item.PSIsContainer) {
            New-Check "folder $folder" $false 'missing, or not a folder'
            return
        }
        if ($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint) {
            New-Check "folder $folder" $false 'a junction, mount point or symbolic link: it may lead anywhere'
            return
        }
        New-Check "folder $folder" $true 'a real folder'
    }

    $acls = @(foreach ($folder in $folders) { Get-Acl -LiteralPath $folder })
    for ($i = 0; $i -lt $folders.Count; $i++) {
        $owner = $acls[$i].GetOwner([System.Security.Principal.SecurityIdentifier]).Value
        if ($TrustedOwners.ContainsKey($owner)) {
            New-Check "owner of $($folders[$i])" $true "$($TrustedOwners[$owner]) ($owner)"
        } else {
            New-Check "owner of $($folders[$i])" $false "$owner, who may change the list again at any time"
        }
    }

    $downloadsEntries = Get-Entries $acls[-1]
    $wanted = @(Get-Entries (Get-Acl -LiteralPath $programFiles) | Where-Object { -not $_.IsInherited } |
        ForEach-Object { Format-Entry $_ })
    $explicit = @($downloadsEntries | Where-Object { -not $_.IsInherited } | ForEach-Object { Format-Entry $_ })
    if ($wanted.Count -eq 0) {
        New-Check 'explicit entries' $false "$programFiles has no explicit entries to compare with"
    } elseif (($wanted -join "`n") -ceq ($explicit -join "`n")) {
        New-Check 'explicit entries' $true "the $($wanted.Count) entries of $programFiles, in order"
    } else {
        New-Check 'explicit entries' $false ("differ from those of ${programFiles}:`n    wanted: " +
            ($wanted -join "`n            ") + "`n    found:  " + ($explicit -join "`n            "))
    }

    $unsafe = @($downloadsEntries | Where-Object {
            $_.AccessControlType -eq 'Allow' -and
            -not ($_.PropagationFlags -band [System.Security.AccessControl.PropagationFlags]::InheritOnly) -and
            -not $TrustedOwners.ContainsKey($_.IdentityReference.Value) -and
            ([int]$_.FileSystemRights -band $UnsafeRights)
        } | ForEach-Object { Format-Entry $_ })
    if ($unsafe.Count -eq 0) {
        New-Check 'write access' $true 'only SYSTEM, Administrators and TrustedInstaller may change Downloads'
    } else {
        New-Check 'write access' $false ('other accounts may change Downloads (inherited entries count too):' +
            "`n    " + ($unsafe -join "`n    "))
    }
}

try {
    $checks = @(Get-Checks)
} catch {
    $checks = @(New-Check 'reading the folders' $false $_.Exception.Message)
}
$repaired = $checks.Count -gt 0 -and @($checks | Where-Object { -not $_.Passed }).Count -eq 0

if ($Explain) {
    foreach ($check in $checks) {
        $result = if ($check.Passed) { 'pass' } else { 'FAIL' }
        Write-Output ('{0}  {1}: {2}' -f $result, $check.Check, $check.Why)
    }
    if (-not $repaired) {
        Write-Output 'Downloads access list not repaired'
    }
}
if ($repaired) {
    Write-Output 'Downloads access list repaired'
}
exit 0
